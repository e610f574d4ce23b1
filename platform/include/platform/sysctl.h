// The kernel's system controls as the BSD sysctl interface names them: a
// value is read by a numeric path (its first number names the subsystem,
// 1 the kernel, 6 the hardware), and a dotted name resolves to such a path.
// Backends answer the controls they have an equivalent for.
#pragma once

#include <cstddef>
#include <string>

namespace vellumark::platform {

namespace sysctl {
inline constexpr int kCtlKern = 1;
inline constexpr int kKernOsType = 1;     // text, the kernel's OS type name
inline constexpr int kKernVersion = 4;    // text, the full kernel version line
inline constexpr int kKernHostName = 10;  // text, the network host name
inline constexpr int kCtlHw = 6;
inline constexpr int kHwMachine = 1;     // text, the machine architecture
inline constexpr int kHwModel = 2;       // text, the model identifier
inline constexpr int kHwMemSize = 24;    // 64-bit, physical memory in bytes
inline constexpr int kHwActiveCpu = 25;  // 32-bit, processors in use
// The longest numeric path a name resolves to.
inline constexpr size_t kMaxPathLength = 12;
}  // namespace sysctl

class Sysctl {
 public:
  virtual ~Sysctl() = default;

  // Reads the control at `path` (`length` numbers). With a null `buffer`,
  // sets `*size` to the answer's length. Otherwise `*size` is the buffer's
  // length on entry and the answer's length on return; a buffer too short
  // for the answer fails with ENOMEM. Returns 0, or an errno value (ENOENT
  // for a control this system does not have).
  virtual int read(const int* path, size_t length, void* buffer, size_t* size) const = 0;

  // Resolves a dotted name into `path`, which holds `*length` numbers on
  // entry; `*length` is the path's length on return. Returns 0, or an errno
  // value (ENOENT for an unknown name).
  virtual int nameToPath(const std::string& name, int* path, size_t* length) const = 0;
};

}  // namespace vellumark::platform
