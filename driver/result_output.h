// Layout of the result tables and of the lines of the warning file: headers, number format,
// result groups and the statistics tail of the single-variant tables.
#ifndef VARNOSTA_DRIVER_RESULT_OUTPUT_H
#define VARNOSTA_DRIVER_RESULT_OUTPUT_H

#include <ostream>
#include <string>
#include <vector>

// Column names of the statistics tail of the single-variant tables.
extern const std::vector<std::string> kStatisticsColumns;

// A header line: first_field; then, for each name and within it each suffix, "\t" name suffix;
// then "\t" and each field of `tail`; then the end of the line (flushed).
void write_result_header(std::ostream &out, const std::string &first_field,
                         const std::vector<std::string> &names,
                         const std::vector<std::string> &suffixes,
                         const std::vector<std::string> &tail);
// Starts a row with the variant identifier and sets the number format of the row.
void begin_result_row(std::ostream &out, const std::string &id);
// "\t" x in scientific notation with six digits, or "\tNA" when x is not finite: a value that
// cannot be printed as a number was not computed.
void write_real(std::ostream &out, double x);
// One result group "\tNA\tNA\tNA".
void write_na_group(std::ostream &out);
// One score group "\t" U "\t" V "\t" p-value, the p-value the chi-square(1) tail of U^2 / V.
// Writes nothing and returns false when the score has no usable variance: V not positive, or
// U, V or U^2 / V not finite. *pvalue receives the p-value when one is written.
bool write_score_group(std::ostream &out, double U, double V, double *pvalue);
// The statistics tail "\tMAC\tMAF\tN0\tN1\tN2\tNMISS", then the end of the row (flushed). The
// frequency is "NA" when no genotype was known (maf_known false).
void end_result_row(std::ostream &out, int mac, double maf, bool maf_known, int n0, int n1, int n2,
                    int nmiss);

#endif  // VARNOSTA_DRIVER_RESULT_OUTPUT_H
