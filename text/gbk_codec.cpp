#include "text/gbk_codec.h"

#include <iconv.h>

#include <cerrno>

namespace dt {
namespace {

// One converter per thread and direction, opened on first use: iconv_open is
// far costlier than a conversion of a cell's few bytes.
class Converter {
 public:
  Converter(const char* to, const char* from, bool fromUtf8)
      : cd_(iconv_open(to, from)), fromUtf8_(fromUtf8) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts in, writing `replacement` for each undecodable input byte.
  std::string Run(std::string_view in, std::string_view replacement) {
    std::string out;
    if (in.empty()) return out;
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      out.assign(in);
      return out;
    }
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // reset shift state
    out.resize(in.size() * 2 + 8);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    size_t done = 0;
    while (srcLeft > 0) {
      char* dst = out.data() + done;
      size_t dstLeft = out.size() - done;
      const size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      done = out.size() - dstLeft;
      if (rc != static_cast<size_t>(-1)) break;
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      // EILSEQ or EINVAL: an undecodable byte, or a sequence cut at the end.
      if (out.size() - done < replacement.size()) out.resize(out.size() * 2 + replacement.size());
      out.replace(done, replacement.size(), replacement);
      done += replacement.size();
      ++src;
      --srcLeft;
      // A UTF-8 character GBK lacks is replaced once, not once per byte.
      while (fromUtf8_ && srcLeft > 0 && (static_cast<unsigned char>(*src) & 0xC0) == 0x80) {
        ++src;
        --srcLeft;
      }
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(done);
    return out;
  }

 private:
  iconv_t cd_;
  bool fromUtf8_;
};

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  thread_local Converter converter("UTF-8", "GBK", false);
  return converter.Run(gbk, "\xEF\xBF\xBD");
}

std::string Utf8ToGbk(std::string_view utf8) {
  thread_local Converter converter("GBK", "UTF-8", true);
  return converter.Run(utf8, "?");
}

}  // namespace dt
