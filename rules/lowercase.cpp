#include "lowercase.h"

#include <QString>

std::string lowerText(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), qsizetype(utf8.size())).toLower().toStdString();
}
