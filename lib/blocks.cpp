#include <climits>
#include <cstdlib>

#include "zelerror.h"
#include "zellib.h"

namespace {

zel_result<void *> create_blocks(zelarray_t *handle, int count, int *size) {
  if (handle == nullptr) return {ZEL_ENULL, nullptr};
  const zelcursor_t *cursor = handle->cursors[0];
  const long long bytes = static_cast<long long>(count) * (cursor ? cursor->datasize : 0);
  // The size travels back as an int: larger blocks are refused like a failed allocation.
  void *block = (bytes > 0 && bytes <= INT_MAX) ? calloc(static_cast<size_t>(bytes), 1) : nullptr;
  if (block == nullptr) return {ZEL_ENOMEM, nullptr};
  if (size != nullptr) *size = static_cast<int>(bytes);
  return {ZEL_OK, block};
}

}  // namespace

extern "C" {

void *zelarray_create_blocks(zelarray_t *handle, int count, int *size, zelerror *err) {
  return zel_deliver(create_blocks(handle, count, size), err);
}

void *zelarray_create_databuffer(zelarray_t *handle, int *size, zelerror *err) {
  return zelarray_create_blocks(handle, 1, size, err);
}

void zelarray_delete_databuffer(zelarray_t *handle, void *block, zelerror *err) {
  if (handle != nullptr) free(block);
  zel_report(err, handle != nullptr ? ZEL_OK : ZEL_ENULL);
}

int zelarray_get_one_blocksize(zelarray_t * /*handle*/, zelerror *err) {
  zel_report(err, ZEL_OK);
  return ZEL_FRAME_BYTES;
}

}  // extern "C"
