#pragma once

#include <QString>

class ListingRows;
class ListingWindow;
class QTextEdit;

namespace ListingCopy {

// What copying the view's selection is to give when it spans records that the view shows cut:
// the same records from the same places, their messages whole (a selection that ends in a cut
// or its mark takes the record to its end). A null text when the clipboard does not hold the
// selection as the view copied it, or no record of it is cut.
QString wholeSelection(QTextEdit *view, const ListingRows &rows, const ListingWindow &window);

} // namespace ListingCopy
