#include "text/gbk_codec.h"

#include <iconv.h>

#include <cerrno>
#include <cstddef>
#include <memory>

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

  bool Usable() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts in, writing replacementFor(byte) for each undecodable input byte.
  std::string Run(std::string_view in, std::string (*replacementFor)(unsigned char)) {
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
      const std::string replacement = replacementFor(static_cast<unsigned char>(*src));
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

std::string ReplacementCharacter(unsigned char) {
  return "\xEF\xBF\xBD";
}

// U+FFFD in GB18030.
std::string Gb18030Replacement(unsigned char) {
  return "\x84\x31\xA4\x37";
}

std::string QuestionMark(unsigned char) {
  return "?";
}

// A byte of 0x80..0xFF that does not decode stands for itself as the private
// use character kKeptByteBase + byte, in UTF-8: EF 9E 80 .. EF 9F BF.
std::string KeptByte(unsigned char byte) {
  if (byte < 0x80) return ReplacementCharacter(byte);
  const unsigned code = kKeptByteBase + byte;
  return {'\xEF', static_cast<char>(0x80 | ((code >> 6) & 0x3F)),
          static_cast<char>(0x80 | (code & 0x3F))};
}

// The byte a kept-byte character at utf8[i] stands for, or -1.
int KeptByteAt(std::string_view utf8, std::size_t i) {
  if (i + 2 >= utf8.size() || utf8[i] != '\xEF') return -1;
  const auto second = static_cast<unsigned char>(utf8[i + 1]);
  const auto third = static_cast<unsigned char>(utf8[i + 2]);
  if ((second != 0x9E && second != 0x9F) || (third & 0xC0) != 0x80) return -1;
  const unsigned code = 0xF000u | ((second & 0x3Fu) << 6) | (third & 0x3Fu);
  return static_cast<int>(code - kKeptByteBase);
}

// GB18030 reads every GBK character as GBK does and gives the characters GBK
// lacks four-byte forms, so text converted from other character sets keeps
// them and shows them.
Converter& ToUtf8() {
  thread_local Converter converter("UTF-8", "GB18030", false);
  return converter;
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  return ToUtf8().Run(gbk, ReplacementCharacter);
}

std::string GbkToUtf8Lossless(std::string_view gbk) {
  return ToUtf8().Run(gbk, KeptByte);
}

std::string Utf8ToGbk(std::string_view utf8) {
  thread_local Converter converter("GB18030", "UTF-8", true);
  std::string out;
  std::size_t from = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const int byte = KeptByteAt(utf8, i);
    if (byte < 0) continue;
    out += converter.Run(utf8.substr(from, i - from), QuestionMark);
    out.push_back(static_cast<char>(byte));
    i += 2;
    from = i + 1;
  }
  out += converter.Run(utf8.substr(from), QuestionMark);
  return out;
}

std::string ToGb18030(std::string_view bytes, std::string_view charset) {
  // One converter per thread for the character set it met last: pages of one
  // marketplace share theirs.
  thread_local std::string name;
  thread_local std::unique_ptr<Converter> converter;
  if (!converter || name != charset) {
    name.assign(charset);
    converter = std::make_unique<Converter>("GB18030", name.c_str(), false);
  }
  if (!converter->Usable()) return std::string(bytes);
  return converter->Run(bytes, Gb18030Replacement);
}

}  // namespace dt
