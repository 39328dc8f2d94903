#include "driver/fields.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

bool is_missing(double x) { return std::fabs(x + 999.0) < 1e-10; }

bool parse_number(std::string_view text, double *value) {
  std::size_t i = 0;
  const std::size_t len = text.size();
  auto digits = [&]() {
    std::size_t count = 0;
    while (i < len && std::isdigit(static_cast<unsigned char>(text[i]))) {
      i++;
      count++;
    }
    return count;
  };
  if (i < len && (text[i] == '+' || text[i] == '-')) {
    i++;
  }
  std::size_t mantissa = digits();
  if (i < len && text[i] == '.') {
    i++;
    mantissa += digits();
  }
  if (mantissa == 0) {
    return false;
  }
  if (i < len && (text[i] == 'e' || text[i] == 'E')) {
    i++;
    if (i < len && (text[i] == '+' || text[i] == '-')) {
      i++;
    }
    if (digits() == 0) {
      return false;
    }
  }
  if (i != len) {
    return false;
  }
  // The extraction converts with strtod and fails on a value beyond the range of a double.
  *value = std::strtod(std::string(text).c_str(), nullptr);
  return std::isfinite(*value);
}

int count_fields(std::string_view text) {
  int count = 0;
  bool in_field = false;
  for (char ch : text) {
    const bool space = std::isspace(static_cast<unsigned char>(ch)) != 0;
    if (!space && !in_field) {
      ++count;
    }
    in_field = !space;
  }
  return count;
}

void skip_byte_order_mark(std::istream &in) {
  const std::streampos start = in.tellg();
  char first[3];
  if (in.read(first, 3) && std::string_view(first, 3) == "\xEF\xBB\xBF") {
    return;
  }
  in.clear();
  in.seekg(start);
}
