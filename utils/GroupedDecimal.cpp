// Decimal grouping by hand rather than through a number formatter: the logs it feeds are compared
// as text, so the separator must not follow the locale.
#include "utils/GroupedDecimal.h"

#include <string>

CFStringRef QXCreateGroupedDecimal(int64_t value) {
  std::string digits = std::to_string(value < 0 ? -(value + 1) + 1ull : uint64_t(value));
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  if (value < 0) grouped.insert(grouped.begin(), '-');
  return CFStringCreateWithCString(nullptr, grouped.c_str(), kCFStringEncodingUTF8);
}
