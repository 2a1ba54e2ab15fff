#include "zelerror.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace {

struct CodeEntry {
  std::string_view name;
  std::string_view text;
};

constexpr std::array<CodeEntry, ZEL_ERRNO_COUNT> _zelarray_errors = {{
#define ZEL_ERRNO_ENTRY(name, code, message) {"ZEL_" #name, message},
    ZEL_ERRNO_MAP(ZEL_ERRNO_ENTRY)
#undef ZEL_ERRNO_ENTRY
}};

// The table's positions and the codes come from the same list; this catches a gap or a reorder.
#define ZEL_ERRNO_CHECK(name, code, message) \
  static_assert(_zelarray_errors[code].text == std::string_view(message));
ZEL_ERRNO_MAP(ZEL_ERRNO_CHECK)
#undef ZEL_ERRNO_CHECK

constexpr const char *unknown_code = "unknown error";

bool is_code(int code) {
  return code >= 0 && code < static_cast<int>(_zelarray_errors.size());
}

}  // namespace

extern "C" {

void zelarray_init_zelerror(zelerror *err) {
  zel_report(err, ZEL_OK);
}

zelbool zelarray_check_zelerror(zelerror *err) {
  return (err != nullptr && *err != ZEL_OK) ? zel_true : zel_false;
}

const char *zelarray_strerror(int code) {
  return is_code(code) ? _zelarray_errors[code].text.data() : unknown_code;
}

const char *zelarray_err_name(int code) {
  return is_code(code) ? _zelarray_errors[code].name.data() : unknown_code;
}

void zelarray_perror(zelerror *err, const char *text) {
  fprintf(stderr, "%s: %s\n", text != nullptr ? text : "",
          zelarray_strerror(err != nullptr ? *err : -1));
}

}  // extern "C"
