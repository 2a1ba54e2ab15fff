// Status codes inside the library: the public table (ZEL_ERRNO_MAP in zellib.h) and how internal
// operations hand their status to the public call that stores it.
#ifndef ZEL_ZELERROR_H
#define ZEL_ZELERROR_H

#include "zellib.h"

// Writes a status where the caller gave somewhere to write it. Each public call does this once,
// with the status its internal operation returned.
inline void zel_report(zelerror *err, int code) {
  if (err != nullptr) *err = code;
}

// What an internal operation returns when the public call also hands back a value: the value is
// the call's documented failure value whenever code is not ZEL_OK.
template <class T>
struct zel_result {
  zelerror code;
  T value;
};

// Stores the status and hands back the value: the tail of a public call.
template <class T>
T zel_deliver(const zel_result<T> &result, zelerror *err) {
  zel_report(err, result.code);
  return result.value;
}

#endif
