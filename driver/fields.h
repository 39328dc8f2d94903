// Fields of the input tables: the missing-value code, the form of a number, field counts.
#ifndef VARNOSTA_DRIVER_FIELDS_H
#define VARNOSTA_DRIVER_FIELDS_H

#include <istream>
#include <string_view>

// The missing-value code -999, matched within 1e-10: values read from text that stand for the
// code are exactly it, while real measurements never come that close.
bool is_missing(double x);

// True when `text` is one whole number in the form that the stream extraction of a double
// accepts (optional sign, digits with an optional fraction, at least one digit in all, an
// optional exponent with at least one digit) and within the range of a double; then *value is
// that number, converted as the extraction would.
bool parse_number(std::string_view text, double *value);

// Number of whitespace-separated fields of `text`.
int count_fields(std::string_view text);

// Moves `in`, freshly opened on a table (or rewound to its start), past a UTF-8 byte-order
// mark, which spreadsheet exports often put first and which is no part of the first field;
// without a mark it leaves the stream at the start.
void skip_byte_order_mark(std::istream &in);

#endif  // VARNOSTA_DRIVER_FIELDS_H
