#include "npy.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace zelbeam_tools {
namespace {

static_assert(std::endian::native == std::endian::little, "the dtypes written are little-endian");

std::string shape_text(const std::vector<size_t> &shape) {
  std::string text = "(";
  for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
  return text + (shape.size() == 1 ? ",)" : ")");
}

std::vector<uint8_t> encode(const void *values, size_t value_bytes, const char *descr,
                            const std::vector<size_t> &shape) {
  size_t count = 1;
  for (size_t n : shape) count *= n;
  std::string header = std::string("{'descr': '") + descr +
                       "', 'fortran_order': False, 'shape': " + shape_text(shape) + ", }";
  // Magic, version and length take 10 bytes; the header is padded with spaces and ends in a
  // newline so that the data starts on a 64-byte boundary.
  const size_t total = (10 + header.size() + 1 + 63) / 64 * 64;
  header.append(total - 10 - header.size() - 1, ' ');
  header += '\n';
  static constexpr uint8_t kMagic[8] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0};
  const size_t data_bytes = count * value_bytes;
  std::vector<uint8_t> bytes(10 + header.size() + data_bytes);
  std::memcpy(bytes.data(), kMagic, sizeof kMagic);
  bytes[8] = static_cast<uint8_t>(header.size() & 0xFF);
  bytes[9] = static_cast<uint8_t>(header.size() >> 8);
  std::memcpy(bytes.data() + 10, header.data(), header.size());
  if (data_bytes > 0) std::memcpy(bytes.data() + 10 + header.size(), values, data_bytes);
  return bytes;
}

}  // namespace

std::vector<uint8_t> npy_encode(const double *values, const std::vector<size_t> &shape) {
  return encode(values, sizeof(double), "<f8", shape);
}

std::vector<uint8_t> npy_encode(const float *values, const std::vector<size_t> &shape) {
  return encode(values, sizeof(float), "<f4", shape);
}

std::string write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!file) return "cannot write '" + path + "': " + std::strerror(errno);
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
      std::fclose(file.release()) != 0)
    return "cannot write '" + path + "': " + std::strerror(errno);
  return "";
}

}  // namespace zelbeam_tools
