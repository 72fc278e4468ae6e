/* The record layout as a C compiler sees it: checked at compile time and reported to the C++ test. */
#include <drennic/drennic.h>

#include "layout_fields.h"

#include <stddef.h>

#define CHECK_SIZE(record, bytes) _Static_assert(sizeof(record) == (bytes), #record " size");
#define CHECK_FIELD(record, field, offset) \
    _Static_assert(offsetof(record, field) == (offset), #record "." #field " offset");
DRN_LAYOUT_COMMON(CHECK_SIZE, CHECK_FIELD)

_Static_assert(sizeof(drn_char16) == 2, "UTF-16 code unit");
_Static_assert((drn_char16)-1 > 0, "UTF-16 code units are unsigned");

#define LIST_SIZE(record, bytes) sizeof(record),
#define LIST_FIELD(record, field, offset) offsetof(record, field),
static const size_t kLayout[] = {DRN_LAYOUT_COMMON(LIST_SIZE, LIST_FIELD)};
_Static_assert(sizeof(kLayout) / sizeof(kLayout[0]) == DRN_LAYOUT_ENTRY_COUNT, "entry count");

size_t drennicLayoutSeenByC(const size_t** layout);

size_t drennicLayoutSeenByC(const size_t** layout) {
    *layout = kLayout;
    return sizeof(kLayout) / sizeof(kLayout[0]);
}
