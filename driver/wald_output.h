// Layout of the single-variant result tables (MLE and Naive) and of the variant lines of the
// warning file, shared by the single-variant analyses.
#ifndef VARNOSTA_DRIVER_WALD_OUTPUT_H
#define VARNOSTA_DRIVER_WALD_OUTPUT_H

#include <ostream>
#include <string>
#include <vector>

// "VARIANT_ID", three columns per trait (_BETA, _SE, _PVAL), then the statistics columns.
void write_result_header(std::ostream &out, const std::vector<std::string> &trait_names);
// Starts a row with the variant identifier and sets the number format of the row.
void begin_result_row(std::ostream &out, const std::string &id);
// "\t" x in scientific notation with six digits, or "\tNA" when x is not finite: a value that
// cannot be printed as a number was not computed.
void write_real(std::ostream &out, double x);
// One trait group "\tNA\tNA\tNA".
void write_na_group(std::ostream &out);
// The statistics tail "\tMAC\tMAF\tN0\tN1\tN2\tNMISS", then the end of the row (flushed). The
// frequency is "NA" when no genotype was known (maf_known false).
void end_result_row(std::ostream &out, int mac, double maf, bool maf_known, int n0, int n1, int n2,
                    int nmiss);

#endif  // VARNOSTA_DRIVER_WALD_OUTPUT_H
