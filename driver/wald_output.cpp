#include "driver/wald_output.h"

#include <cmath>
#include <iomanip>
#include <ios>

void write_result_header(std::ostream &out, const std::vector<std::string> &trait_names) {
  out << "VARIANT_ID\t";
  for (const std::string &name : trait_names) {
    out << name << "_BETA\t" << name << "_SE\t" << name << "_PVAL\t";
  }
  out << "MAC\tMAF\tN0\tN1\tN2\tNMISS" << std::endl;
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
