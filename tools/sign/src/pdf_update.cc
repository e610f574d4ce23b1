#include "pdf_update.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <utility>
#include <vector>

namespace vellumark::sign {
namespace {

constexpr char kHeader[] = "%PDF-";
constexpr char kStartXref[] = "startxref";
// The end of a file is where its last startxref must be (ISO 32000-1 7.5.5).
constexpr size_t kTailWindow = 2048;
// "0 a b c" with three offsets of up to 20 digits, padded with spaces.
constexpr size_t kByteRangeWidth = 64;
constexpr char kFieldNameStem[] = "Signature";
// Print + Locked: an invisible widget that is printed (no-op) and cannot move.
constexpr int kWidgetFlags = 132;

struct Tail {
  uint64_t startXref = 0;
  bool xrefStream = false;
};

std::string readAt(std::ifstream& in, uint64_t offset, size_t count) {
  std::string buffer(count, '\0');
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(buffer.data(), static_cast<std::streamsize>(count));
  buffer.resize(static_cast<size_t>(in.gcount()));
  return buffer;
}

bool isPdfSpace(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\0';
}

Tail readTail(std::ifstream& in, uint64_t size) {
  const size_t window = static_cast<size_t>(std::min<uint64_t>(size, kTailWindow));
  const std::string tail = readAt(in, size - window, window);
  const size_t at = tail.rfind(kStartXref);
  if (at == std::string::npos)
    throw DocumentError("the document is damaged: no startxref at its end");
  size_t p = at + sizeof(kStartXref) - 1;
  while (p < tail.size() && isPdfSpace(tail[p])) ++p;
  uint64_t offset = 0;
  size_t digits = 0;
  for (; p < tail.size() && std::isdigit(static_cast<unsigned char>(tail[p])) && digits < 20;
       ++p, ++digits) {
    offset = offset * 10 + static_cast<uint64_t>(tail[p] - '0');
  }
  if (digits == 0 || offset >= size) {
    throw DocumentError("the document is damaged: its startxref points nowhere");
  }
  std::string head = readAt(in, offset, 32);
  size_t q = 0;
  while (q < head.size() && isPdfSpace(head[q])) ++q;
  return {offset, !head.substr(q).starts_with("xref")};
}

std::string unparseArrayWith(QPDFObjectHandle array, const std::string& extra) {
  std::string out = "[";
  for (QPDFObjectHandle& item : array.getArrayAsVector()) out += item.unparse() + " ";
  return out + extra + "]";
}

// A dictionary in PDF syntax with some keys replaced or added; indirect
// values stay references.
std::string unparseDictWith(QPDFObjectHandle dict,
                            const std::vector<std::pair<std::string, std::string>>& set) {
  std::string out = "<<";
  std::vector<std::string> done;
  for (const std::string& key : dict.getKeys()) {
    out += " " + QPDFObjectHandle::newName(key).unparse() + " ";
    auto it = std::find_if(set.begin(), set.end(), [&](const auto& kv) { return kv.first == key; });
    if (it != set.end()) {
      out += it->second;
      done.push_back(key);
    } else {
      out += dict.getKey(key).unparse();
    }
  }
  for (const auto& [key, value] : set) {
    if (std::find(done.begin(), done.end(), key) == done.end()) {
      out += " " + QPDFObjectHandle::newName(key).unparse() + " " + value;
    }
  }
  return out + " >>";
}

std::string ref(int number, int generation = 0) {
  return std::to_string(number) + " " + std::to_string(generation) + " R";
}

std::string randomHexId() {
  unsigned char id[16];
  if (RAND_bytes(id, sizeof id) != 1) throw DocumentError("no random bytes for the document ID");
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "<";
  for (unsigned char b : id) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out + ">";
}

// A certification signature that allows no change forbids any update.
void refuseLockedByCertification(QPDFObjectHandle root) {
  QPDFObjectHandle perms = root.getKey("/Perms");
  if (!perms.isDictionary()) return;
  QPDFObjectHandle docMdp = perms.getKey("/DocMDP");
  if (!docMdp.isDictionary()) return;
  QPDFObjectHandle refs = docMdp.getKey("/Reference");
  if (!refs.isArray()) return;
  for (QPDFObjectHandle& r : refs.getArrayAsVector()) {
    if (!r.isDictionary()) continue;
    QPDFObjectHandle params = r.getKey("/TransformParams");
    if (params.isDictionary() && params.getKey("/P").isInteger() &&
        params.getKey("/P").getIntValue() == 1) {
      throw DocumentError(
          "the document is certified with no changes allowed: it cannot be signed again");
    }
  }
}

std::string uniqueFieldName(QPDFObjectHandle fields) {
  std::vector<std::string> taken;
  if (fields.isArray()) {
    for (QPDFObjectHandle& field : fields.getArrayAsVector()) {
      if (field.isDictionary() && field.getKey("/T").isString()) {
        taken.push_back(field.getKey("/T").getUTF8Value());
      }
    }
  }
  for (int n = 1;; ++n) {
    std::string name = kFieldNameStem + std::to_string(n);
    if (std::find(taken.begin(), taken.end(), name) == taken.end()) return name;
  }
}

class UpdateWriter {
 public:
  UpdateWriter(uint64_t base, std::string prefix) : base_(base), out_(std::move(prefix)) {}

  void object(int number, int generation, const std::string& body) {
    offsets_[number] = {base_ + out_.size(), generation};
    out_ +=
        std::to_string(number) + " " + std::to_string(generation) + " obj\n" + body + "\nendobj\n";
  }
  uint64_t offset() const { return base_ + out_.size(); }
  std::string& text() { return out_; }
  const std::map<int, std::pair<uint64_t, int>>& offsets() const { return offsets_; }

  // Consecutive object numbers, as xref subsections: (first, count).
  std::vector<std::pair<int, int>> runs() const {
    std::vector<std::pair<int, int>> runs;
    for (const auto& [number, entry] : offsets_) {
      if (!runs.empty() && runs.back().first + runs.back().second == number) {
        ++runs.back().second;
      } else {
        runs.emplace_back(number, 1);
      }
    }
    return runs;
  }

 private:
  uint64_t base_;
  std::string out_;
  std::map<int, std::pair<uint64_t, int>> offsets_;
};

void writeClassicXref(UpdateWriter& w, const std::string& trailerEntries) {
  const uint64_t xrefAt = w.offset();
  std::string& out = w.text();
  out += "xref\n";
  for (const auto& [first, count] : w.runs()) {
    out += std::to_string(first) + " " + std::to_string(count) + "\n";
    for (int n = first; n < first + count; ++n) {
      const auto& [offset, generation] = w.offsets().at(n);
      char entry[32];
      std::snprintf(entry, sizeof entry, "%010llu %05d n \n",
                    static_cast<unsigned long long>(offset), generation);
      out += entry;
    }
  }
  out += "trailer\n<<" + trailerEntries + " >>\nstartxref\n" + std::to_string(xrefAt) + "\n%%EOF\n";
}

void writeXrefStream(UpdateWriter& w, int number, const std::string& trailerEntries) {
  const uint64_t xrefAt = w.offset();
  std::map<int, std::pair<uint64_t, int>> entries = w.offsets();
  entries[number] = {xrefAt, 0};
  int width = 1;
  for (const auto& [n, entry] : entries) {
    while (width < 8 && (entry.first >> (8 * width)) != 0) ++width;
  }
  std::string data, index;
  int runStart = -1, runLength = 0;
  for (const auto& [n, entry] : entries) {
    if (runStart >= 0 && runStart + runLength == n) {
      ++runLength;
    } else {
      if (runStart >= 0) index += std::to_string(runStart) + " " + std::to_string(runLength) + " ";
      runStart = n;
      runLength = 1;
    }
    data += '\x01';
    for (int i = width - 1; i >= 0; --i) data += static_cast<char>((entry.first >> (8 * i)) & 0xFF);
    data += static_cast<char>((entry.second >> 8) & 0xFF);
    data += static_cast<char>(entry.second & 0xFF);
  }
  index += std::to_string(runStart) + " " + std::to_string(runLength);
  std::string& out = w.text();
  out += std::to_string(number) + " 0 obj\n<< /Type /XRef" + trailerEntries + " /Index [" + index +
         "] /W [1 " + std::to_string(width) + " 2] /Length " + std::to_string(data.size()) +
         " >>\nstream\r\n" + data + "\r\nendstream\nendobj\nstartxref\n" + std::to_string(xrefAt) +
         "\n%%EOF\n";
}

void appendUtf16(std::string& out, uint32_t cp) {
  auto unit = [&](uint32_t u) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(u >> shift) & 15];
  };
  if (cp >= 0x10000) {
    cp -= 0x10000;
    unit(0xD800 + (cp >> 10));
    unit(0xDC00 + (cp & 0x3FF));
  } else {
    unit(cp);
  }
}

}  // namespace

std::string pdfTextString(const std::string& utf8) {
  bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
  if (ascii) {
    std::string out = "(";
    for (char c : utf8) {
      if (c == '(' || c == ')' || c == '\\') out += '\\';
      out += c;
    }
    return out + ")";
  }
  std::string out = "<FEFF";
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  for (size_t i = 0; i < n;) {
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (s[i] < 0x80) {
      cp = s[i];
    } else if ((s[i] & 0xE0) == 0xC0) {
      len = 2;
    } else if ((s[i] & 0xF0) == 0xE0) {
      len = 3;
    } else if ((s[i] & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len > 1) {
      bool ok = i + len <= n;
      uint32_t v = s[i] & (0x7F >> len);
      for (size_t k = 1; ok && k < len; ++k) {
        ok = (s[i + k] & 0xC0) == 0x80;
        v = (v << 6) | (s[i + k] & 0x3Fu);
      }
      static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
      if (ok && v >= kMin[len] && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
        cp = v;
      } else {
        len = 1;
      }
    }
    appendUtf16(out, cp);
    i += len;
  }
  return out + ">";
}

std::string pdfDate(int64_t secondsSince1970) {
  const std::time_t t = static_cast<std::time_t>(secondsSince1970);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[40];
  std::strftime(text, sizeof text, "D:%Y%m%d%H%M%S+00'00'", &utc);
  return text;
}

SignatureUpdate prepareSignatureUpdate(const std::string& path, const SignatureFields& fields) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw DocumentError("cannot read " + path + ": not a regular file");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw DocumentError("cannot read " + path);
  const uint64_t size = std::filesystem::file_size(path, error);
  if (error) throw DocumentError("cannot read " + path + ": " + error.message());
  if (readAt(in, 0, sizeof(kHeader) - 1) != kHeader) {
    throw DocumentError(path + " is not a PDF document (no %PDF- header)");
  }
  const Tail tail = readTail(in, size);
  const char last = readAt(in, size - 1, 1).at(0);

  SignatureUpdate update;
  update.originalSize = size;
  QPDF pdf;
  pdf.setSuppressWarnings(true);
  pdf.setAttemptRecovery(false);
  try {
    pdf.processFile(path.c_str());
    if (pdf.isEncrypted()) throw DocumentError(path + " is encrypted: decrypt it before signing");
    QPDFObjectHandle trailer = pdf.getTrailer();
    QPDFObjectHandle root = trailer.getKey("/Root");
    if (!root.isIndirect() || !root.isDictionary() || !trailer.getKey("/Size").isInteger()) {
      throw DocumentError(path + " is damaged: its trailer lacks /Root or /Size");
    }
    refuseLockedByCertification(root);
    const long long oldSize = trailer.getKey("/Size").getIntValue();
    if (oldSize < 1 || oldSize > 8388607) throw DocumentError(path + " is damaged: bad /Size");
    int next = static_cast<int>(oldSize);

    std::vector<QPDFObjectHandle> pages = pdf.getAllPages();
    if (pages.empty()) throw DocumentError(path + " has no pages");
    if (static_cast<size_t>(fields.page) > pages.size()) {
      throw DocumentError(path + " has " + std::to_string(pages.size()) +
                          " page(s); there is no page " + std::to_string(fields.page));
    }
    QPDFObjectHandle page = pages[static_cast<size_t>(fields.page) - 1];
    if (!page.isIndirect() || page.getObjectID() >= oldSize) {
      throw DocumentError(path + " is damaged: its page tree is inconsistent");
    }

    const int sigNumber = next++;
    const int fieldNumber = next++;
    QPDFObjectHandle acroForm = root.getKey("/AcroForm");
    if (!acroForm.isNull() && !acroForm.isDictionary()) {
      throw DocumentError(path + " is damaged: its /AcroForm is not a dictionary");
    }
    const int newAcroNumber = acroForm.isNull() ? next++ : 0;
    QPDFObjectHandle existingFields =
        acroForm.isDictionary() ? acroForm.getKey("/Fields") : QPDFObjectHandle::newNull();
    update.fieldName = uniqueFieldName(existingFields);

    UpdateWriter w(size, last == '\n' || last == '\r' ? "" : "\n");

    // The signature dictionary, its hole and byte range.
    std::string sig = "<< /Type /Sig /Filter /Adobe.PPKLite /SubFilter /ETSI.CAdES.detached";
    sig += " /M " + pdfTextString(fields.signingTime);
    if (!fields.reason.empty()) sig += " /Reason " + pdfTextString(fields.reason);
    if (!fields.location.empty()) sig += " /Location " + pdfTextString(fields.location);
    if (!fields.contact.empty()) sig += " /ContactInfo " + pdfTextString(fields.contact);
    sig += " /ByteRange [";
    const size_t byteRangeAt = sig.size();
    sig += std::string(kByteRangeWidth, ' ') + "] /Contents <";
    const size_t contentsAt = sig.size();
    sig += std::string(2 * fields.contentsSize, '0') + "> >>";
    const uint64_t sigObjectAt = w.offset();
    w.object(sigNumber, 0, sig);
    const std::string header = std::to_string(sigNumber) + " 0 obj\n";
    update.contentsOffset = sigObjectAt + header.size() + contentsAt;
    update.contentsHexLength = 2 * fields.contentsSize;
    const uint64_t byteRangeOffset = sigObjectAt + header.size() + byteRangeAt;

    // The field and its invisible widget, merged in one dictionary.
    w.object(fieldNumber, 0,
             "<< /Type /Annot /Subtype /Widget /FT /Sig /T " + pdfTextString(update.fieldName) +
                 " /V " + ref(sigNumber) + " /Rect [0 0 0 0] /F " + std::to_string(kWidgetFlags) +
                 " /P " + page.unparse() + " >>");

    // The page's /Annots gains the widget.
    const std::string fieldRef = ref(fieldNumber);
    QPDFObjectHandle annots = page.getKey("/Annots");
    if (annots.isIndirect() && annots.isArray()) {
      w.object(annots.getObjectID(), annots.getGeneration(), unparseArrayWith(annots, fieldRef));
    } else if (annots.isArray() || annots.isNull()) {
      std::string value =
          annots.isArray() ? unparseArrayWith(annots, fieldRef) : "[" + fieldRef + "]";
      w.object(page.getObjectID(), page.getGeneration(),
               unparseDictWith(page, {{"/Annots", value}}));
    } else {
      throw DocumentError(path + " is damaged: the page's /Annots is not an array");
    }

    // The form gains the field; /SigFlags 3: signatures exist, append only.
    if (acroForm.isNull()) {
      w.object(newAcroNumber, 0, "<< /Fields [" + fieldRef + "] /SigFlags 3 >>");
      w.object(root.getObjectID(), root.getGeneration(),
               unparseDictWith(root, {{"/AcroForm", ref(newAcroNumber)}}));
    } else {
      std::string fieldsValue;
      if (existingFields.isIndirect() && existingFields.isArray()) {
        w.object(existingFields.getObjectID(), existingFields.getGeneration(),
                 unparseArrayWith(existingFields, fieldRef));
        fieldsValue = existingFields.unparse();
      } else if (existingFields.isArray()) {
        fieldsValue = unparseArrayWith(existingFields, fieldRef);
      } else if (existingFields.isNull()) {
        fieldsValue = "[" + fieldRef + "]";
      } else {
        throw DocumentError(path + " is damaged: its form's /Fields is not an array");
      }
      std::string body = unparseDictWith(acroForm, {{"/Fields", fieldsValue}, {"/SigFlags", "3"}});
      if (acroForm.isIndirect()) {
        w.object(acroForm.getObjectID(), acroForm.getGeneration(), body);
      } else {
        w.object(root.getObjectID(), root.getGeneration(),
                 unparseDictWith(root, {{"/AcroForm", body}}));
      }
    }

    // Trailer entries: the new size, the same root and info, the ID's first
    // half kept and its second renewed, and the previous section.
    const int xrefNumber = tail.xrefStream ? next++ : 0;
    std::string entries = " /Size " + std::to_string(next) + " /Root " + root.unparse();
    QPDFObjectHandle info = trailer.getKey("/Info");
    if (info.isIndirect()) entries += " /Info " + info.unparse();
    QPDFObjectHandle id = trailer.getKey("/ID");
    std::string first = id.isArray() && id.getArrayNItems() == 2 && id.getArrayItem(0).isString()
                            ? id.getArrayItem(0).unparse()
                            : randomHexId();
    entries += " /ID [" + first + " " + randomHexId() + "] /Prev " + std::to_string(tail.startXref);
    if (tail.xrefStream) {
      writeXrefStream(w, xrefNumber, entries);
    } else {
      writeClassicXref(w, entries);
    }
    if (pdf.anyWarnings()) throw DocumentError(path + " is damaged (its structure needs repair)");
    update.bytes = std::move(w.text());

    const uint64_t holeBegin = update.contentsOffset - 1;
    const uint64_t holeEnd = update.contentsOffset + update.contentsHexLength + 1;
    const uint64_t total = size + update.bytes.size();
    update.byteRange = {0, holeBegin, holeEnd, total - holeEnd};
    std::string range = "0 " + std::to_string(holeBegin) + " " + std::to_string(holeEnd) + " " +
                        std::to_string(total - holeEnd);
    range.resize(kByteRangeWidth, ' ');
    update.bytes.replace(static_cast<size_t>(byteRangeOffset - size), kByteRangeWidth, range);
  } catch (const QPDFExc& e) {
    if (e.getErrorCode() == qpdf_e_password) {
      throw DocumentError(path + " is encrypted: decrypt it before signing");
    }
    throw DocumentError(path + " is damaged: " + e.getMessageDetail());
  } catch (const DocumentError&) {
    throw;
  } catch (const std::exception& e) {
    throw DocumentError(path + " is damaged: " + e.what());
  }
  return update;
}

}  // namespace vellumark::sign
