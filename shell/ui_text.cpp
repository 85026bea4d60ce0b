#include "shell/ui_text.h"

#include "text/gbk_codec.h"

namespace dt::shell {

QString Ui(std::string_view gbk) {
  return QString::fromStdString(GbkToUtf8Lossless(gbk));
}

std::string Gbk(const QString& text) {
  return Utf8ToGbk(text.toStdString());
}

}  // namespace dt::shell
