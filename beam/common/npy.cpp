#include "npy.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace zelbeam_tools {

static_assert(std::endian::native == std::endian::little, "the .npy header says '<f8'");

std::string npy_bytes(const std::vector<double> &values, int rows, int cols) {
  if (rows < 0 || cols < 0 ||
      static_cast<size_t>(rows) * static_cast<size_t>(cols) != values.size()) {
    return "";
  }
  std::string header = "{'descr': '<f8', 'fortran_order': False, 'shape': (" +
                       std::to_string(rows) + ", " + std::to_string(cols) + "), }";
  // 10 bytes of preamble, the header, then spaces and a newline up to the alignment.
  const size_t unpadded = 10 + header.size() + 1;
  header.append((64 - unpadded % 64) % 64, ' ');
  header.push_back('\n');
  std::string out("\x93NUMPY\x01\x00", 8);
  out.push_back(static_cast<char>(header.size() & 0xff));
  out.push_back(static_cast<char>(header.size() >> 8));
  out += header;
  const size_t data_at = out.size();
  out.resize(data_at + values.size() * sizeof(double));
  if (!values.empty()) std::memcpy(out.data() + data_at, values.data(), values.size() * 8);
  return out;
}

bool write_npy(const std::string &path, const std::vector<double> &values, int rows, int cols) {
  const std::string bytes = npy_bytes(values, rows, cols);
  if (bytes.empty()) {
    errno = EINVAL;
    return false;
  }
  std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!file) return false;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;
  return std::fclose(file.release()) == 0;
}

}  // namespace zelbeam_tools
