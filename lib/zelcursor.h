// Internal operations of the cursor module.
#ifndef ZEL_ZELCURSOR_H
#define ZEL_ZELCURSOR_H

#include "zellib.h"

// zelcursor_reinit for a caller that already holds ring_lock and has checked membership.
void _zelcursor_reinit_locked(zelarray_t *handle, zelcursor_t *cursor, zelerror *err);

// Set the cursor's overflow flag and warn about it.
void _zelcursor_flag_overflow(zelarray_t *handle, zelcursor_t *cursor);

#endif
