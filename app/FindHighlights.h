#pragma once

#include <QList>
#include <QTextEdit>

class ListingSearch;
class RecordListing;

namespace FindHighlights {

// A cursor that selects a match.
QTextCursor matchCursor(QTextDocument *document, int position, int length);

// The highlights of the matches on screen, the current one in a colour of its own, through the
// view's extra selections: only what is on screen, since a listing may hold millions of matches.
QList<QTextEdit::ExtraSelection> onScreen(const QTextEdit *view, const RecordListing &listing,
                                          const ListingSearch &search, int current);

} // namespace FindHighlights
