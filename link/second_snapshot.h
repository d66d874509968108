// What a view shows now, as the once-a-second outputs take it: the vital-sign and
// status fields and the state and counts of its link. For the GUI's view and the
// headless one alike. Qt-free.
#pragma once

#include <cstdint>

#include "export/second_values.h"

class COximeter;
class ILinkView;

// link may be null (a view without a link: closed, no counts).
data_export::SecondValues TakeSecondValues(ILinkView& view, const COximeter* link, int64_t unix_us);
