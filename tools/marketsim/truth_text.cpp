// Names of faults and the printed forms of the truth.
#include <array>
#include <string>
#include <utility>

#include "text/gbk_codec.h"
#include "tools/marketsim/marketsim.h"
#include "tools/marketsim/sim_pages.h"

namespace dt::marketsim {
namespace {

constexpr std::array<std::pair<Fault, std::string_view>, 16> kFaultNames = {{
    {Fault::None, "none"},
    {Fault::NotFound, "not-found"},
    {Fault::ServerError, "server-error"},
    {Fault::Refuse, "refuse"},
    {Fault::ResetMidBody, "reset-mid-body"},
    {Fault::Stall, "stall"},
    {Fault::Redirect, "redirect"},
    {Fault::RedirectLoop, "redirect-loop"},
    {Fault::NulBytes, "nul-bytes"},
    {Fault::HugeBody, "huge-body"},
    {Fault::InvalidGbk, "invalid-gbk"},
    {Fault::UnknownRank, "unknown-rank"},
    {Fault::ControlBytesInAccount, "control-bytes-in-account"},
    {Fault::EmptyItemCount, "empty-item-count"},
    {Fault::HostileOverlap, "hostile-overlap"},
    {Fault::CutAfterBody, "cut-after-body"},
}};

constexpr std::array<std::pair<BlockForm, std::string_view>, 4> kBlockFormNames = {{
    {BlockForm::TooMany, "429"},
    {BlockForm::Forbidden, "403"},
    {BlockForm::SignIn, "sign-in"},
    {BlockForm::Verify, "verify"},
}};

std::string EscapeControls(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

void AppendUnicodeEscape(std::string& out, unsigned value) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(value >> shift) & 0xF]);
}

bool IsDigit(unsigned char c) {
  return c >= 0x30 && c <= 0x39;
}

bool IsLead(unsigned char c) {
  return c >= 0x81 && c <= 0xFE;
}

// GBK text, in which a character GBK lacks may stand as its four-byte GB18030
// sequence, as UTF-8: GBK never has a digit after a lead byte, so those
// sequences are told apart from GBK pairs; bytes that decode in neither
// become U+FFFD.
std::string TextToUtf8(std::string_view text) {
  std::string utf8;
  std::size_t runStart = 0, i = 0;
  while (i < text.size()) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    if (i + 3 < text.size() && IsLead(at(0)) && IsDigit(at(1)) && IsLead(at(2)) && IsDigit(at(3))) {
      utf8 += GbkToUtf8(text.substr(runStart, i - runStart));
      utf8 += detail::Convert(text.substr(i, 4), "UTF-8", "GB18030").value_or("\xEF\xBF\xBD");
      i += 4;
      runStart = i;
    } else {
      i += IsLead(at(0)) && i + 1 < text.size() ? std::size_t{2} : std::size_t{1};
    }
  }
  return utf8 + GbkToUtf8(text.substr(runStart));
}

// A JSON string of the truth's text, decoded to UTF-8, then every non-ASCII
// or control character written as \u escapes.
std::string JsonString(std::string_view gbk) {
  const std::string utf8 = TextToUtf8(gbk);
  std::string out = "\"";
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      if (c == '"' || c == '\\') {
        out.push_back('\\');
        out.push_back(static_cast<char>(c));
      } else if (c < 0x20 || c == 0x7F) {
        AppendUnicodeEscape(out, c);
      } else {
        out.push_back(static_cast<char>(c));
      }
      ++i;
      continue;
    }
    const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    unsigned value = length == 4   ? c & 0x07
                     : length == 3 ? c & 0x0F
                     : length == 2 ? c & 0x1F
                                   : 0xFFFD;
    for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k) {
      value = (value << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    i += length;
    if (value >= 0x10000) {
      value -= 0x10000;
      AppendUnicodeEscape(out, 0xD800 + (value >> 10));
      AppendUnicodeEscape(out, 0xDC00 + (value & 0x3FF));
    } else {
      AppendUnicodeEscape(out, value);
    }
  }
  return out + "\"";
}

}  // namespace

std::string_view FaultName(Fault fault) {
  for (const auto& [kind, name] : kFaultNames) {
    if (kind == fault) return name;
  }
  return "none";
}

std::optional<Fault> ParseFault(std::string_view name) {
  for (const auto& [kind, known] : kFaultNames) {
    if (known == name) return kind;
  }
  return std::nullopt;
}

std::string_view BlockFormName(BlockForm form) {
  for (const auto& [kind, name] : kBlockFormNames) {
    if (kind == form) return name;
  }
  return "429";
}

std::optional<BlockForm> ParseBlockForm(std::string_view name) {
  for (const auto& [kind, known] : kBlockFormNames) {
    if (known == name) return kind;
  }
  return std::nullopt;
}

std::vector<Fault> AllFaults() {
  std::vector<Fault> faults;
  for (const auto& [kind, name] : kFaultNames) {
    if (kind != Fault::None) faults.push_back(kind);
  }
  return faults;
}

std::string TruthLines(const std::vector<TruthShop>& shops) {
  std::string out;
  for (const TruthShop& shop : shops) {
    out += std::to_string(shop.number);
    for (const std::string* field : {&shop.sellerAccount, &shop.shopName, &shop.shopAddress,
                                     &shop.creationDate, &shop.creditLevel, &shop.itemCount}) {
      out += '\t';
      out += EscapeControls(*field);
    }
    out += '\n';
  }
  return out;
}

std::string TruthJson(const std::vector<TruthShop>& shops) {
  std::string out = "[";
  for (std::size_t i = 0; i < shops.size(); ++i) {
    const TruthShop& shop = shops[i];
    out += i == 0 ? "\n" : ",\n";
    out += "{\"number\":" + std::to_string(shop.number) +
           ",\"sellerAccount\":" + JsonString(shop.sellerAccount) +
           ",\"shopName\":" + JsonString(shop.shopName) +
           ",\"shopAddress\":" + JsonString(shop.shopAddress) +
           ",\"creationDate\":" + JsonString(shop.creationDate) +
           ",\"creditLevel\":" + JsonString(shop.creditLevel) +
           ",\"itemCount\":" + JsonString(shop.itemCount) + "}";
  }
  return out + "\n]\n";
}

}  // namespace dt::marketsim
