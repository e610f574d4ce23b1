// Requests to open a link (a URL of a scheme the application claims) that
// the system sends the running application: the one that launched it and
// any that come while it runs. Main-thread only.
#pragma once

#include <functional>
#include <string>

namespace vellumark::platform {

class IncomingLinks {
 public:
  using Handler = std::function<void(const std::string& url)>;

  virtual ~IncomingLinks() = default;
  // From now on every request's text goes to `handler`, in place of the
  // application delegate's open-URL event (a null handler gives them back).
  // The application reports it will finish launching before it delivers the
  // request that launched it, so a handler installed then catches that one.
  virtual void setGetURLHandler(Handler handler) = 0;
};

}  // namespace vellumark::platform
