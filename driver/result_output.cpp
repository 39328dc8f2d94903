#include "driver/result_output.h"

#include <cmath>
#include <iomanip>
#include <ios>

#include "toolkit/func_stat.h"

const std::vector<std::string> kStatisticsColumns = {"MAC", "MAF", "N0", "N1", "N2", "NMISS"};

void write_result_header(std::ostream &out, const std::string &first_field,
                         const std::vector<std::string> &names,
                         const std::vector<std::string> &suffixes,
                         const std::vector<std::string> &tail) {
  out << first_field;
  for (const std::string &name : names) {
    for (const std::string &suffix : suffixes) {
      out << '\t' << name << suffix;
    }
  }
  for (const std::string &field : tail) {
    out << '\t' << field;
  }
  out << std::endl;
}

void begin_result_row(std::ostream &out, const std::string &id) {
  out << std::scientific << std::setprecision(6) << id;
}

void write_real(std::ostream &out, double x) {
  if (std::isfinite(x)) {
    out << '\t' << x;
  } else {
    out << "\tNA";
  }
}

void write_na_group(std::ostream &out) { out << "\tNA\tNA\tNA"; }

bool write_score_group(std::ostream &out, double U, double V, double *pvalue) {
  // V > 0 fails on NaN as well; the chi-square tail is never handed a value it cannot take.
  if (!(V > 0.0) || !std::isfinite(V) || !std::isfinite(U)) {
    return false;
  }
  const double statistic = U * U / (2.0 * V);
  if (!std::isfinite(statistic)) {
    return false;
  }
  *pvalue = gammq(0.5, statistic);
  write_real(out, U);
  write_real(out, V);
  write_real(out, *pvalue);
  return true;
}

void end_result_row(std::ostream &out, int mac, double maf, bool maf_known, int n0, int n1, int n2,
                    int nmiss) {
  out << '\t' << mac;
  if (maf_known) {
    write_real(out, maf);
  } else {
    out << "\tNA";
  }
  out << '\t' << n0 << '\t' << n1 << '\t' << n2 << '\t' << nmiss << std::endl;
}
