#pragma once
// Small text helpers of the reader service: words of a command line, values
// of header lines, dotted addresses and the allow list, NNTP ranges and
// dates. Pure functions, no state.

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Text.h"

// The n-th word of a command line (counting from 1). Words are separated by
// single blanks, so two blanks in a row make an empty word; tabs are
// ordinary characters. A word the text does not reach is empty.
std::string_view GetWord(int n, std::string_view text);

// The value of a header line: what follows the first ":", without the
// blanks right after it (tabs stay), up to the end of the line, a CR or an
// LF. Trailing blanks stay. Empty when the line has no ":".
std::string GetHeaderField(std::string_view line);

// Splits a dotted address or allow-list mask into four parts. "*" gives -1,
// anything else its leading decimal digits (none read as 0); a part the
// text lacks stays -2, so a mask of fewer than four parts matches nothing.
// A text of more than four parts is no mask: all four parts are -2.
void ParseIP(std::string_view text, long& a, long& b, long& c, long& d);

// Whether the peer's dotted address matches a line of the allow list file.
// A file that cannot be opened admits nobody.
bool AllowConnection(std::string_view peer, const std::string& allowFile);

// Case-blind comparison of ASCII texts, as every reader file uses it.
using text::EqualsNoCase;
using text::StartsWithNoCase;

// atol: leading blanks, optional sign, digits up to the first non-digit;
// no digits read as 0. Saturates at the range of an article number.
long ToNumber(std::string_view text);

// An article range of XOVER and XHDR: "n", "n-m" or "n-" (open end).
struct ArticleRange {
    long first = 0;
    long last = 0;
    bool openEnd = false;  // "n-": last is the group's High
};
ArticleRange ParseRange(std::string_view text);

// The date of a NEWGROUPS or NEWNEWS command as "yyyymmdd": eight digits as
// given; six digits in the current century when yy is at most this year's
// two digits, else in the previous one (so "261210" in 2026 is 2026, and a
// date later this year is still this year). today is "yyyymmdd". nullopt
// for anything else.
std::optional<std::string> NewgroupsDate(std::string_view date, std::string_view today);

// The moment "yyyymmdd" "hhmmss" stands for, as local time or as UTC;
// nullopt when either text is malformed.
std::optional<std::time_t> CommandTime(std::string_view date, std::string_view time, bool gmt);

// Whether a group name matches an RFC 3977 wildmat: patterns separated by
// ",", each with "*" and "?", a leading "!" negating; the last pattern that
// matches decides, and a name no pattern matches does not match. Letter
// case is ignored, as the group index ignores it.
bool WildmatMatch(std::string_view wildmat, std::string_view name);

// The groups of a Newsgroups header value: split at commas, blanks and tabs
// around each name dropped, empty entries skipped, each name kept once
// (compared without regard to case), in order.
std::vector<std::string> SplitNewsgroups(std::string_view value);

// An RFC 5322 date-time of the local time at t with its offset from UTC:
// "Tue, 10 Dec 2024 14:03:05 +0100". English names whatever the locale.
std::string Rfc5322Date(std::time_t t);

// Whether a Message-ID header value is one id in angle brackets with an "@"
// inside, without blanks or control characters, of at most 250 characters.
bool ValidMessageId(std::string_view value);

// A message-id value without surrounding blanks and without one pair of
// angle brackets.
std::string_view BareMessageId(std::string_view value);
