// Internal operations of the cursor module.
#ifndef ZEL_ZELCURSOR_H
#define ZEL_ZELCURSOR_H

#include "zelerror.h"
#include "zellib.h"

// zelcursor_create, its status returned with the cursor.
zel_result<zelcursor_t *> _zelcursor_create(zelarray_t *handle, int frames);

// Frees a cursor no table holds any more.
void _zelcursor_free(zelcursor_t *cursor);

// zelcursor_reinit for a caller that already holds ring_lock and has checked membership:
// ZEL_EINTERNAL when the condition variable cannot be made again.
zelerror _zelcursor_reinit_locked(zelarray_t *handle, zelcursor_t *cursor);

// Set the cursor's overflow flag and warn about it.
void _zelcursor_flag_overflow(zelarray_t *handle, zelcursor_t *cursor);

// zelcursor_get_ptr, its status returned with the result.
zel_result<zelbool> _zelcursor_read(zelarray_t *handle, zelcursor_t *cursor, void **data,
                                    int32_t *ts, int *nfnbr, zelbool blocking, zelbool advance);

// zelcursor_check_overflow, its status returned with the flag.
zel_result<zelbool> _zelcursor_overflow(zelarray_t *handle, zelcursor_t *cursor);

#endif
