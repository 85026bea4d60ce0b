// Shop generation: which numbers have shops, their facts, and their pages.
#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/gbk_codec.h"
#include "tools/marketsim/marketsim.h"
#include "tools/marketsim/sim_pages.h"

namespace dt::marketsim {
namespace {

// splitmix64: a small, well-mixed stream, seeded per (seed, number, purpose).
class Rng {
 public:
  explicit Rng(std::uint64_t state) : state_(state) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  std::size_t Below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(Next() % n); }
  bool Chance(double p) { return Unit() < p; }
  template <typename T, std::size_t N>
  const T& Pick(const std::array<T, N>& items) {
    return items[Below(N)];
  }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Below(items.size())];
  }

 private:
  std::uint64_t state_;
};

// New purposes go at the end: the values seed the streams, so renumbering
// would change every page already generated.
enum Purpose : std::uint64_t {
  kHasShop = 1,
  kFaultShare,
  kFaultKind,
  kFacts,
  kLayout,
  kUtf8,
  kBeyondGbk,
  kBusy,
  kDrop,
};

Rng RngFor(const Options& options, int number, Purpose purpose) {
  Rng mixer(options.seed ^ (static_cast<std::uint64_t>(purpose) << 56));
  const std::uint64_t base = mixer.Next();
  return Rng(base ^ (static_cast<std::uint64_t>(static_cast<std::uint32_t>(number)) *
                     0xD1B54A32D192ED03ull));
}

// A stream of its own for each attempt at a number, so a retry draws afresh
// and the n-th attempt always draws the same.
Rng AttemptRng(const Options& options, int number, int attempt, Purpose purpose) {
  Rng base = RngFor(options, number, purpose);
  return Rng(base.Next() ^ (static_cast<std::uint64_t>(static_cast<std::uint32_t>(attempt)) *
                            0x9E3779B97F4A7C15ull));
}

// Chinese text is written here in UTF-8 and turned into the marketplace's
// GBK once; the tables stay readable and the pages are pure GBK.
std::vector<std::string> Gbk(std::initializer_list<const char*> utf8) {
  std::vector<std::string> out;
  for (const char* text : utf8) out.push_back(Utf8ToGbk(text));
  return out;
}

std::vector<std::string> Gb18030(std::initializer_list<const char*> utf8) {
  std::vector<std::string> out;
  for (const char* text : utf8) out.push_back(detail::Convert(text, "GB18030", "UTF-8").value());
  return out;
}

struct Texts {
  std::vector<std::string> namePrefixes = Gbk(
      {"小", "阿", "金", "美美", "开心", "诚信", "天天", "糖果", "星光", "木子", "老街", "依依"});
  std::vector<std::string> nameCores = Gbk({"茶叶", "女装", "鞋包", "饰品", "数码", "母婴", "零食",
                                            "家居", "玩具", "化妆品", "户外", "书店", "手机壳"});
  std::vector<std::string> nameSuffixes =
      Gbk({"小店", "专卖店", "工作室", "的店", "旗舰店", "杂货铺", "精品屋", "", "批发"});
  std::vector<std::string> surnames =
      Gbk({"张", "王", "李", "赵", "刘", "陈", "杨", "黄", "周", "吴", "欧阳"});
  std::vector<std::string> givenNames =
      Gbk({"小明", "丽丽", "强", "芳芳", "伟", "静", "大宝", "晓燕", "建国", "婷婷"});
  std::vector<std::string> regions = Gbk({"浙江 杭州", "广东 广州", "上海", "北京", "江苏 苏州",
                                          "福建 厦门", "四川 成都", "湖北 武汉"});
  std::vector<std::string> navItems =
      Gbk({"首页", "所有宝贝", "新品上架", "店铺动态", "信用评价", "收藏店铺", "联系掌柜"});
  std::vector<std::string> footers = Gbk({"淘宝网 版权所有", "本店所有宝贝均为实拍",
                                          "欢迎光临本店，祝您购物愉快！", "七天无理由退换货"});
  std::string creationLabel = Utf8ToGbk("创店时间：");
  std::string itemCountLabel = Utf8ToGbk("宝贝数量：");
  std::string regionLabel = Utf8ToGbk("所在地区：");
  std::string creditLabel = Utf8ToGbk("卖家信用：");
  std::string noCredit = Utf8ToGbk("暂无信用");
  std::string titleSuffix = Utf8ToGbk("-淘宝网");
  std::string sellerLabel = Utf8ToGbk("掌柜：");
  std::string notFoundText = Utf8ToGbk("您查看的店铺不存在或已被关闭");
  std::string errorText = Utf8ToGbk("服务器繁忙，请稍后再试");
  std::string welcome = Utf8ToGbk("欢迎来到");
  std::string tooManyText = Utf8ToGbk("访问过于频繁，请稍后再试");
  std::string deniedText = Utf8ToGbk("您的访问已被拒绝");
  // Characters GBK lacks (emoji and CJK Extension B ideographs), as their
  // four-byte GB18030 sequences; only UTF-8 pages carry them.
  std::vector<std::string> beyondGbk = Gb18030({"🍵", "😀", "🌸", "𠮷", "𩸽", "𡈽"});
};

const Texts& T() {
  static const Texts texts;
  return texts;
}

constexpr std::array<std::string_view, 10> kAsciiFirst = {
    "Tea", "Lucky", "Sunny", "Blue", "Happy", "Golden", "Little", "Star", "Moon", "Green"};
constexpr std::array<std::string_view, 8> kAsciiSecond = {"House",  "Shop",   "Store",  "Corner",
                                                          "Studio", "Garden", "Market", "Box"};
constexpr std::array<std::string_view, 10> kAsciiAccounts = {
    "tea_seller", "lucky", "mm_baby",   "tb",       "shop_owner",
    "xiaoxiao",   "kk",    "sunny_day", "hz_trade", "love"};

struct RankEntry {
  std::string_view code;
  const char* nameUtf8;
};
constexpr std::array<RankEntry, 20> kRanks = {{
    {"s_red_1", "一心级"},   {"s_red_2", "二心级"},   {"s_red_3", "三心级"},
    {"s_red_4", "四心级"},   {"s_red_5", "五心级"},   {"s_blue_1", "一蓝钻"},
    {"s_blue_2", "二蓝钻"},  {"s_blue_3", "三蓝钻"},  {"s_blue_4", "四蓝钻"},
    {"s_blue_5", "五蓝钻"},  {"s_cap_1", "一皇冠"},   {"s_cap_2", "二皇冠"},
    {"s_cap_3", "三皇冠"},   {"s_cap_4", "四皇冠"},   {"s_cap_5", "五皇冠"},
    {"s_crown_1", "一至尊"}, {"s_crown_2", "二至尊"}, {"s_crown_3", "三至尊"},
    {"s_crown_4", "四至尊"}, {"s_crown_5", "五至尊"},
}};
// Codes the marketplace may show that are not credit levels.
constexpr std::array<std::string_view, 8> kUnknownRanks = {
    "s_gold_1", "s_red_0", "s_red_6", "s_cap_0", "S_RED_1", "s_crown_6", "s_blue_0", "b_red_1"};
// Invalid GBK, each a lead byte with a byte after it, so the name's end stays
// where it is for any reader that steps over double-byte pairs.
constexpr std::array<std::string_view, 4> kInvalidGbk = {"\x80\x80", "\xFF\xFE", "\xA1\x20",
                                                         "\xFE\x7F"};

constexpr std::string_view kRankPrefix = "http://pics.taobaocdn.com/newrank/";

struct Shop {
  std::string name;
  std::string account;  // the bytes of the account element, layout whitespace included
  std::string creationDate;
  std::string rankCode;  // empty: no rank image
  std::string creditLevel;
  std::string itemCount;
};

template <typename Integer>
std::string NumberText(Integer n) {
  return std::to_string(n);
}

std::string TwoDigits(std::size_t n) {
  return (n < 10 ? "0" : "") + std::to_string(n);
}

bool HasShopDraw(const Options& options, int number) {
  return RngFor(options, number, kHasShop).Unit() < options.density;
}

Shop MakeShop(const Options& options, int number, Fault fault) {
  const Texts& t = T();
  Rng rng = RngFor(options, number, kFacts);
  Shop shop;

  switch (rng.Below(4)) {
    case 0:
    case 1:
      shop.name = rng.Pick(t.namePrefixes) + rng.Pick(t.nameCores) + rng.Pick(t.nameSuffixes);
      break;
    case 2:
      shop.name = std::string(rng.Pick(kAsciiFirst)) + " " + std::string(rng.Pick(kAsciiSecond));
      if (rng.Chance(0.3)) shop.name += " " + NumberText(2000 + rng.Below(13));
      break;
    default:
      shop.name =
          std::string(rng.Pick(kAsciiFirst)) + rng.Pick(t.nameCores) + rng.Pick(t.nameSuffixes);
      break;
  }
  if (fault == Fault::InvalidGbk) {
    const std::size_t cut = shop.name.size() / 2 / 2 * 2;  // between characters for GBK names
    shop.name = "Shop" + std::string(rng.Pick(kInvalidGbk)) + "x" + shop.name.substr(0, cut) +
                std::string(rng.Pick(kInvalidGbk)) + "End";
  }
  // Drawn from a stream of its own, so that the facts of every shop stay as
  // they were before pages came in UTF-8.
  if (Rng beyond = RngFor(options, number, kBeyondGbk);
      ServedInUtf8(options, number) && beyond.Chance(0.3)) {
    shop.name += beyond.Pick(t.beyondGbk);
  }

  std::string account;
  if (rng.Chance(0.5)) {
    account = rng.Pick(t.surnames) + rng.Pick(t.givenNames);
    if (rng.Chance(0.5)) account += NumberText(rng.Below(10000));
  } else {
    account = std::string(rng.Pick(kAsciiAccounts));
    if (account == "tb") {
      account += NumberText(10000000 + rng.Below(90000000));
    } else if (rng.Chance(0.7)) {
      account += (rng.Chance(0.5) ? "_" : "") + NumberText(rng.Below(100000));
    }
  }
  if (fault == Fault::ControlBytesInAccount) {
    const std::size_t cut = account.size() / 2 / 2 * 2;
    account = "\t" + account.substr(0, cut) + "\t" + account.substr(cut) + "\r\n";
  }
  shop.account = std::move(account);

  shop.creationDate = NumberText(2003 + rng.Below(10)) + "-" + TwoDigits(1 + rng.Below(12)) + "-" +
                      TwoDigits(1 + rng.Below(28));

  const double rank = rng.Unit();
  if (fault == Fault::UnknownRank) {
    shop.rankCode = std::string(rng.Pick(kUnknownRanks));
    shop.creditLevel = "0";
  } else if (rank < 0.35) {
    shop.creditLevel = "0";  // no rank image at all
  } else if (rank < 0.9) {
    const RankEntry& entry = rng.Pick(kRanks);
    shop.rankCode = std::string(entry.code);
    shop.creditLevel = Utf8ToGbk(entry.nameUtf8);
  } else {
    shop.rankCode = std::string(rng.Pick(kUnknownRanks));
    shop.creditLevel = "0";
  }

  if (fault == Fault::EmptyItemCount) {
    shop.itemCount.clear();
  } else if (rng.Chance(0.5)) {
    shop.itemCount = "0";
  } else {
    shop.itemCount = NumberText(1 + rng.Below(rng.Chance(0.8) ? 200 : 20000));
  }
  return shop;
}

// The account element. Some layouts put the account on a line of its own, so
// the bytes between ">" and "<" carry LF and TAB as real pages do.
std::string AccountElement(Rng& layout, Shop& shop) {
  switch (layout.Below(4)) {
    case 0:
      return "<a class=\"hCard fn\" href=\"http://amos.im.alisoft.com/msg.aw?v=2&amp;site=cntaobao"
             "&amp;s=1&amp;charset=gbk\" target=\"_blank\">" +
             shop.account + "</a>";
    case 1:
      shop.account = "\n\t\t\t" + shop.account + "\n\t\t";
      return "<span class=hcard>" + shop.account + "</span>";
    case 2:
      shop.account = "\n\t" + shop.account;
      return "<div class=\"seller HCard\" data-nick=\"nick\">" + shop.account + "</div>";
    default:
      return "<em class='hcard'>" + shop.account + "</em>";
  }
}

std::string RankBlock(Rng& layout, const Shop& shop) {
  const Texts& t = T();
  std::string block = "<div class=\"shop-rank\"><span class=\"label\">" + t.creditLabel + "</span>";
  if (shop.rankCode.empty()) {
    block += "<span class=\"none\">" + t.noCredit + "</span>";
  } else {
    block += "<a href=\"http://rate.taobao.com/rate.htm?v=" + NumberText(layout.Below(1000)) +
             "\" target=\"_blank\"><img src=\"" + std::string(kRankPrefix) + shop.rankCode +
             ".gif\" border=\"0\" align=\"absmiddle\" /></a>";
  }
  return block + "</div>\n";
}

std::string InfoList(Rng& layout, const Shop& shop) {
  const Texts& t = T();
  const std::string date = "<li><span>" + t.creationLabel + "</span>" + shop.creationDate + "</li>";
  const std::string items = "<li><span>" + t.itemCountLabel + "</span>" + shop.itemCount + "</li>";
  const std::string region =
      "<li><span>" + t.regionLabel + "</span>" + layout.Pick(t.regions) + "</li>";
  std::string list = "<ul class=\"shop-info\">\n";
  if (layout.Chance(0.5)) {
    list += date + "\n" + items + "\n" + region + "\n";
  } else {
    list += region + "\n" + items + "\n" + date + "\n";
  }
  return list + "</ul>\n";
}

std::string Head(Rng& layout, const std::string& title, int number, bool nulByte) {
  std::string head = layout.Chance(0.5)
                         ? "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
                           "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\n"
                         : "<!DOCTYPE html>\n";
  head += "<html>\n<head>\n";
  if (nulByte) {
    static constexpr char kNulScript[] = "<script>/*\0*/</script>\n";
    head.append(kNulScript, sizeof kNulScript - 1);
  }
  head += "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\" />\n<title>" +
          title + "</title>\n<link rel=\"stylesheet\" href=\"http://a.tbcdn.cn/p/shop/" +
          NumberText(layout.Below(9)) + ".0/shop.css\" />\n<script>var g_config={shopId:\"" +
          NumberText(number) + "\",t:" + NumberText(layout.Next() % 100000000) +
          "};</script>\n</head>\n";
  return head;
}

std::string Nav(Rng& layout) {
  const Texts& t = T();
  std::string nav = "<ul class=\"nav\">";
  const std::size_t count = 3 + layout.Below(t.navItems.size() - 2);
  for (std::size_t i = 0; i < count; ++i) {
    nav += "<li><a href=\"#n" + NumberText(i) + "\">" + t.navItems[i] + "</a></li>";
  }
  return nav + "</ul>\n";
}

std::string Footer(Rng& layout) {
  const Texts& t = T();
  return "<div id=\"footer\"><p>" + layout.Pick(t.footers) + "</p><p>Copyright 2003-2012 " +
         t.footers[0] +
         "</p></div>\n<script src=\"http://a.tbcdn.cn/s/kissy/1.1.6/kissy-min.js\">"
         "</script>\n</body>\n</html>\n";
}

// The shop page; shop.account is updated to the exact bytes the page carries.
std::string ShopPage(const Options& options, int number, Fault fault, Shop& shop) {
  const Texts& t = T();
  Rng layout = RngFor(options, number, kLayout);
  std::string page = Head(layout, shop.name + t.titleSuffix, number, fault == Fault::NulBytes);
  page += "<body class=\"shop-" + NumberText(layout.Below(5)) + "\">\n<div id=\"header\">" +
          Nav(layout) + "</div>\n";
  const std::string summary = "<div class=\"shop-summary\" data-value='{\"name\":\"" + shop.name +
                              "\",\"shopId\":" + NumberText(number) + "}'>\n<h3>" + t.welcome +
                              shop.name + "</h3>\n</div>\n";
  const std::string seller = "<div class=\"seller\"><span>" + t.sellerLabel + "</span>" +
                             AccountElement(layout, shop) + "</div>\n";
  // The summary may stand before or after the seller; the rank image always
  // follows the account.
  if (layout.Chance(0.7)) {
    page += summary + seller;
  } else {
    page += seller + summary;
  }
  page += RankBlock(layout, shop) + InfoList(layout, shop) + Footer(layout);
  return page;
}

std::string NoShopPage(const Options& options, int number) {
  Rng layout = RngFor(options, number, kLayout);
  return Head(layout, T().notFoundText + T().titleSuffix, number, false) + "<body>\n" +
         Nav(layout) + "<div class=\"error\"><p>" + T().notFoundText + "</p></div>\n" +
         Footer(layout);
}

// Everything before the run-on filler of a hostile-overlap page.
std::string HostileHead(const Shop& shop) {
  return "<html><body><div class=\"shop\" data-value='{\"name\":\"" + shop.name +
         "\"}'><ul><li><span>" + T().creationLabel + "</span><b class=hCard>";
}

bool ShowsShop(const Options& options, int number, Fault fault) {
  return fault != Fault::None || HasShopDraw(options, number);
}

// The GBK page as its UTF-8 twin: the declaration in the head says utf-8, and
// every byte is converted. The page may carry GB18030 sequences for
// characters GBK lacks, so it is read as GB18030, GBK's superset.
std::string Utf8Page(std::string page) {
  constexpr std::string_view kGbkMeta =
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gbk\" />";
  constexpr std::string_view kUtf8Meta = "<meta charset=\"utf-8\">";
  if (const std::size_t at = page.find(kGbkMeta); at != std::string::npos) {
    page.replace(at, kGbkMeta.size(), kUtf8Meta);
  } else if (const std::size_t head = page.find("<head>"); head != std::string::npos) {
    page.insert(head + 6, kUtf8Meta);
  }
  // Every page is generated from valid text; should that ever break, the
  // unconverted page shows it in the tests instead of a truncated one.
  auto converted = detail::Convert(page, "UTF-8", "GB18030");
  return converted ? std::move(*converted) : page;
}

std::string Encoded(const Options& options, int number, std::string page) {
  return ServedInUtf8(options, number) ? Utf8Page(std::move(page)) : page;
}

}  // namespace

bool operator==(const TruthShop& a, const TruthShop& b) {
  return a.number == b.number && a.sellerAccount == b.sellerAccount && a.shopName == b.shopName &&
         a.shopAddress == b.shopAddress && a.creationDate == b.creationDate &&
         a.creditLevel == b.creditLevel && a.itemCount == b.itemCount;
}

std::string ShopAddress(int number) {
  return "http://shop" + NumberText(number) + ".taobao.com/";
}

bool ServedInUtf8(const Options& options, int number) {
  if (options.utf8Share <= 0) return false;
  switch (FaultFor(options, number)) {
    case Fault::InvalidGbk:  // their bytes are not text in any character set
    case Fault::NulBytes:
    case Fault::HostileOverlap:
    case Fault::HugeBody:
      return false;
    default:
      break;
  }
  return RngFor(options, number, kUtf8).Unit() < options.utf8Share;
}

bool DroppedAt(const Options& options, int number, int attempt) {
  return options.dropShare > 0 &&
         AttemptRng(options, number, attempt, kDrop).Unit() < options.dropShare;
}

bool BusyAt(const Options& options, int number, int attempt) {
  return options.busyShare > 0 &&
         AttemptRng(options, number, attempt, kBusy).Unit() < options.busyShare;
}

Fault FaultFor(const Options& options, int number) {
  if (auto it = options.faultAt.find(number); it != options.faultAt.end()) return it->second;
  if (options.faultKinds.empty() || options.faultShare <= 0) return Fault::None;
  if (RngFor(options, number, kFaultShare).Unit() >= options.faultShare) return Fault::None;
  Rng kind = RngFor(options, number, kFaultKind);
  return kind.Pick(options.faultKinds);
}

std::optional<TruthShop> TruthFor(const Options& options, int number) {
  const Fault fault = FaultFor(options, number);
  switch (fault) {
    case Fault::NotFound:
    case Fault::ServerError:
    case Fault::Refuse:
    case Fault::ResetMidBody:
    case Fault::Stall:
    case Fault::RedirectLoop:
    case Fault::NulBytes:
      return std::nullopt;
    default:
      break;
  }
  if (!ShowsShop(options, number, fault)) return std::nullopt;
  Shop shop = MakeShop(options, number, fault);
  ShopPage(options, number, fault, shop);  // settles the account's layout bytes
  TruthShop truth;
  truth.number = number;
  if (fault == Fault::HostileOverlap) {
    // Account and date run to the one "</li>" at the end; each is cut to the
    // field limit, and the item count, without its marker, starts at byte 16.
    const std::string head = HostileHead(shop);
    const std::string start = head + std::string(kHostileFieldBytes + 16, 'x');
    truth.sellerAccount = std::string(kHostileFieldBytes, 'x');
    truth.shopName = shop.name;
    truth.shopAddress = ShopAddress(number);
    const std::string dateStart = "<b class=hCard>";
    truth.creationDate = dateStart + std::string(kHostileFieldBytes - dateStart.size(), 'x');
    truth.creditLevel = "0";
    truth.itemCount = start.substr(15, kHostileFieldBytes);
    return truth;
  }
  truth.sellerAccount = shop.account;
  truth.shopName = shop.name;
  truth.shopAddress = ShopAddress(number);
  truth.creationDate = shop.creationDate;
  truth.creditLevel = shop.creditLevel;
  truth.itemCount = shop.itemCount;
  return truth;
}

std::vector<TruthShop> Truth(const Options& options, int first, int last) {
  std::vector<TruthShop> shops;
  for (long long n = first; n <= last; ++n) {
    if (auto shop = TruthFor(options, static_cast<int>(n))) shops.push_back(std::move(*shop));
  }
  return shops;
}

namespace detail {

std::optional<std::string> Convert(std::string_view in, const char* to, const char* from) {
  const iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(in.size() * 2 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size(), done = 0;
  bool ok = true;
  while (true) {
    char* dst = out.data() + done;
    std::size_t dstLeft = out.size() - done;
    const std::size_t rc = iconv(cd, srcLeft > 0 ? &src : nullptr, &srcLeft, &dst, &dstLeft);
    done = out.size() - dstLeft;
    if (rc != static_cast<std::size_t>(-1)) {
      if (srcLeft == 0) break;
      continue;
    }
    if (errno != E2BIG) {
      ok = false;
      break;
    }
    out.resize(out.size() * 2);
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(done);
  return out;
}

std::string TooManyRequestsPage() {
  return "<html><body><h1>429</h1><p>" + T().tooManyText + "</p></body></html>\n";
}

std::string DeniedPage() {
  return "<html><body><h1>429</h1><p>" + T().deniedText + "</p></body></html>\n";
}

std::string ForbiddenPage() {
  return "<html><body><h1>403 Forbidden</h1><p>" + T().deniedText + "</p></body></html>\n";
}

std::string SignInPage() {
  return "<html><head><title>login</title></head><body><form action=\"/member/login.jhtml\" "
         "method=\"post\"><input name=\"TPL_username\"><input type=\"password\" "
         "name=\"TPL_password\"></form></body></html>\n";
}

std::string VerifyPage() {
  return "<html><head><title>verify</title></head><body><div id=\"nocaptcha\" "
         "class=\"nc-container\"></div><script src=\"//g.alicdn.com/sd/nch5/index.js\">"
         "</script></body></html>\n";
}

std::string BusyPage() {
  return "<html><body><h1>503</h1><p>" + T().errorText + "</p></body></html>\n";
}

std::string NotFoundPage() {
  return "<html><head><title>404 Not Found</title></head><body><h1>404</h1><p>" + T().notFoundText +
         "</p></body></html>\n";
}

std::string Filler(std::size_t offset, std::size_t length) {
  static constexpr std::string_view kPattern =
      "<p class=\"pad\">lorem ipsum dolor sit amet, consectetur adipiscing elit</p>\n";
  std::string out;
  out.reserve(length);
  std::size_t at = offset % kPattern.size();
  while (out.size() < length) {
    const std::size_t take = std::min(kPattern.size() - at, length - out.size());
    out.append(kPattern.substr(at, take));
    at = 0;
  }
  return out;
}

std::string FillerOf(const Answer& answer, std::size_t offset, std::size_t count) {
  if (answer.fillerByte != 0) return std::string(count, answer.fillerByte);
  return Filler(offset, count);
}

std::string RedirectedPage(const Options& options, int number) {
  const Fault fault = FaultFor(options, number);
  if (!ShowsShop(options, number, fault))
    return Encoded(options, number, NoShopPage(options, number));
  Shop shop = MakeShop(options, number, fault);
  return Encoded(options, number, ShopPage(options, number, fault, shop));
}

Answer AnswerFor(const Options& options, int number) {
  Answer answer;
  const Fault fault = FaultFor(options, number);
  answer.utf8 = ServedInUtf8(options, number);
  auto shopPage = [&] {
    if (!ShowsShop(options, number, fault))
      return Encoded(options, number, NoShopPage(options, number));
    Shop shop = MakeShop(options, number, fault);
    return Encoded(options, number, ShopPage(options, number, fault, shop));
  };
  switch (fault) {
    case Fault::NotFound:
      answer.status = 404;
      answer.body = Encoded(options, number, NotFoundPage());
      break;
    case Fault::ServerError:
      answer.status = 500;
      answer.body = Encoded(options, number,
                            "<html><body><h1>500</h1><p>" + T().errorText + "</p></body></html>\n");
      break;
    case Fault::Refuse:
      answer.refuse = true;
      break;
    case Fault::ResetMidBody:
    case Fault::Stall: {
      answer.body = shopPage();
      const std::size_t markerAt = answer.body.find("data-value");
      answer.sentBytes = fault == Fault::Stall ? std::min<std::size_t>(64, markerAt) : markerAt / 2;
      answer.dropAfterSent = true;
      answer.stallFirst = fault == Fault::Stall;
      return answer;
    }
    case Fault::Redirect:
    case Fault::RedirectLoop:
      answer.status = 302;
      answer.location = fault == Fault::Redirect ? "/moved" : "/loop";
      break;
    case Fault::HugeBody:
      answer.body = shopPage();
      answer.fillerBytes = options.hugeFillerBytes;
      break;
    case Fault::CutAfterBody:
      answer.body = shopPage();
      answer.sentBytes = answer.body.size();
      answer.announcedExtra = 16;
      return answer;
    case Fault::HostileOverlap: {
      Shop shop = MakeShop(options, number, fault);
      answer.body = HostileHead(shop);
      answer.fillerBytes = options.hostileFillerBytes;
      answer.fillerByte = 'x';
      answer.tail = "</li></ul></div></body></html>\n";
      break;
    }
    default:
      answer.body = shopPage();
      break;
  }
  answer.sentBytes = answer.body.size();
  return answer;
}

std::string EmptyNumberPage(const Options& options, int number) {
  return NoShopPage(options, number);
}

}  // namespace detail

std::string ShopPageBody(const Options& options, int number) {
  const detail::Answer answer = detail::AnswerFor(options, number);
  if (answer.refuse) return {};
  if (answer.status == 302) {
    return answer.location == "/moved" ? detail::RedirectedPage(options, number) : std::string();
  }
  std::string body = answer.body.substr(0, answer.sentBytes);
  if (answer.fillerBytes > 0) body += detail::FillerOf(answer, 0, answer.fillerBytes);
  return body + answer.tail;
}

int NewestAt(const Options& options, double seconds) {
  if (!options.topAtStart) return INT32_MAX;
  const double given = std::max(0.0, seconds) * std::max(0.0, options.risePerSecond);
  std::int64_t newest = *options.topAtStart + static_cast<std::int64_t>(std::min(given, 4e9));
  for (const auto& [at, width] : options.skips) {
    if (newest >= at && at > *options.topAtStart) newest += width;
  }
  return static_cast<int>(std::min<std::int64_t>(newest, INT32_MAX));
}

std::optional<double> OpenedAt(const Options& options, int number) {
  if (!options.topAtStart || number <= *options.topAtStart) return 0.0;
  std::int64_t given = number;
  for (const auto& [at, width] : options.skips) {
    if (number >= at && number < static_cast<std::int64_t>(at) + width) return std::nullopt;
    if (number >= at) given -= width;
  }
  if (options.risePerSecond <= 0) return std::nullopt;
  return static_cast<double>(given - *options.topAtStart) / options.risePerSecond;
}

}  // namespace dt::marketsim
