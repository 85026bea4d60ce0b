#include "collect/shop_task.h"

#include "text/gbk_text.h"

namespace dt {

std::string ShopAddress(ShopNumber number) {
  return "http://shop" + ToText(number) + ".taobao.com/";
}

bool ShopRejected(const ShopPageFields& fields, bool zeroItemsOnly, bool zeroCreditOnly) {
  return (zeroItemsOnly && fields.itemCount != "0") ||
         (zeroCreditOnly && fields.creditLevel != "0");
}

std::string ShopLogValue(const ShopPageFields& fields) {
  std::string value = "(" + fields.creationDate + ")" + WithoutBytes(fields.sellerAccount, "\r\n");
  if (value.size() > kMaxShopLogValueBytes)
    value.resize(GbkPrefix(value, kMaxShopLogValueBytes).size());
  return value;
}

std::string_view PageText(std::string_view body) {
  const std::size_t nul = body.find('\0');
  return nul == std::string_view::npos ? body : body.substr(0, nul);
}

}  // namespace dt
