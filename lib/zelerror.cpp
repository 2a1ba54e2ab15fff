#include "zelerror.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace {

// One entry per code, so that the table's size follows the list.
#define ZEL_ERROR_ONE(code, name, text) 1,
constexpr int zel_codes[] = {ZEL_ERROR_TABLE(ZEL_ERROR_ONE)};
#undef ZEL_ERROR_ONE

constexpr std::array<std::string_view, std::size(zel_codes)> _zelarray_errors = {
#define ZEL_ERROR_TEXT(code, name, text) text,
    ZEL_ERROR_TABLE(ZEL_ERROR_TEXT)
#undef ZEL_ERROR_TEXT
};

// The enum values and the table positions come from the same list; this catches a gap.
#define ZEL_ERROR_CHECK(code, name, text) \
  static_assert(_zelarray_errors[code] == std::string_view(text));
ZEL_ERROR_TABLE(ZEL_ERROR_CHECK)
#undef ZEL_ERROR_CHECK

}  // namespace

extern "C" {

void zelarray_init_zelerror(zelerror *err) {
  zel_report(err, ze_ok);
}

zelbool zelarray_check_zelerror(zelerror *err) {
  return (err != nullptr && *err != ze_ok) ? zel_true : zel_false;
}

void zelarray_perror(zelerror *err, const char *text) {
  const char *prefix = text != nullptr ? text : "";
  const int code = err != nullptr ? *err : -1;
  if (code >= 0 && code < static_cast<int>(_zelarray_errors.size())) {
    fprintf(stderr, "%s: %s\n", prefix, _zelarray_errors[code].data());
  } else {
    fprintf(stderr, "%s: unknown error\n", prefix);
  }
}

}  // extern "C"
