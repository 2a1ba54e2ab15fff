// The status table: codes, names and texts from the one list in the public header.
#include <array>
#include <string_view>

#include "zelbeam.h"

namespace {

struct CodeEntry {
  std::string_view name;
  std::string_view text;
};

constexpr std::array<CodeEntry, ZELBEAM_ERRNO_COUNT> codes = {{
#define ZELBEAM_ERRNO_ENTRY(name, code, message) {#name, message},
    ZELBEAM_ERRNO_MAP(ZELBEAM_ERRNO_ENTRY)
#undef ZELBEAM_ERRNO_ENTRY
}};

// The table's positions and the codes come from the same list; this catches a gap or a reorder.
#define ZELBEAM_ERRNO_CHECK(name, code, message) \
  static_assert(codes[code].text == std::string_view(message));
ZELBEAM_ERRNO_MAP(ZELBEAM_ERRNO_CHECK)
#undef ZELBEAM_ERRNO_CHECK

bool is_code(int code) {
  return code >= 0 && code < static_cast<int>(codes.size());
}

}  // namespace

extern "C" {

const char *zelbeam_strerror(int code) {
  return is_code(code) ? codes[code].text.data() : "unknown error";
}

const char *zelbeam_err_name(int code) {
  return is_code(code) ? codes[code].name.data() : "unknown";
}

}  // extern "C"
