// Status codes of the library: one table of codes and texts, shared by every module.
#ifndef ZEL_ZELERROR_H
#define ZEL_ZELERROR_H

#include "zellib.h"

// X(code, name, text): the only place where a code and its message are paired.
#define ZEL_ERROR_TABLE(X)                                                           \
  X(0, ok, "All ok")                                                                 \
  X(1, capture, "Error during capture")                                              \
  X(2, req_frames, "Invalid value for \"req data frame per buffer\"")                \
  X(3, megabytes, "Invalid value for 'megabytes'")                                   \
  X(4, null_handle, "Null value for one handler")                                    \
  X(5, memory, "Problem allocating memory")                                          \
  X(6, socket, "Could not create socket")                                            \
  X(7, bind, "Could not bind socket")                                                \
  X(8, dest_ip, "Destination IP error")                                              \
  X(9, order, "Operation does not follow authorized order")                          \
  X(10, send, "Error sending data to Zel")                                           \
  X(11, recv, "Error receiving data from Zel")                                       \
  X(12, parse, "Unexpected data / do not know how to parse")                         \
  X(13, speed, "Error with 'speed' value")                                           \
  X(14, slave, "Error with 'slave' value")                                           \
  X(15, id, "Error with 'id' value")                                                 \
  X(16, prom_nb, "Error with 'prom_nb' value")                                       \
  X(17, nfnbr, "Error with value of \"network data frame number\"")                  \
  X(18, drop, "Error with value of \"frames to drop\"")                              \
  X(19, delay, "Error with value of \"sample delay\"")                               \
  X(20, internal, "Internal error")                                                  \
  X(21, warnings, "Error with value of \"display warnings\"")                        \
  X(22, too_many_cursors, "Too many cursors created")                                \
  X(23, cursor_frames,                                                               \
    "Value of 'req data frame per buffer' not a multiple of the value given to the " \
    "'zelarray_create' function")                                                    \
  X(24, cursor, "Error working with this cursor")                                    \
  X(25, norm_files, "Error reading from normalization files")                        \
  X(26, silence_limit, "Error with value of \"silence limit\"")                      \
  X(27, count, "Invalid value for 'count'")

enum zel_code : int {
#define ZEL_ERROR_ENUM(code, name, text) ze_##name = (code),
  ZEL_ERROR_TABLE(ZEL_ERROR_ENUM)
#undef ZEL_ERROR_ENUM
};

// Writes a status where the caller gave somewhere to write it.
inline void zel_report(zelerror *err, int code) {
  if (err != nullptr) *err = code;
}

#endif
