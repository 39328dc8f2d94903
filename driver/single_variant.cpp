#include "driver/single_variant.h"

#include <cctype>
#include <cmath>
#include <fstream>
#include <iostream>
#include <string_view>

#include "driver/fields.h"
#include "driver/fit_arrays.h"
#include "driver/globals.h"
#include "driver/output_files.h"
#include "driver/result_output.h"
#include "toolkit/func_data_process.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Reading one line of the genotype table

// Genotype classes are matched within this distance, as the missing code is.
const double kGenotypeTolerance = 1e-10;

[[noreturn]] void stop_on_genotype_line(int line_no, const std::string &what) {
  std::cerr << "Error: File " << geno << ", line " << line_no << ": " << what << std::endl;
  kill_program();
}

// The next whitespace-separated field of `text` from position *at on, which moves past it.
std::string_view next_field(const std::string &text, std::size_t *at) {
  std::size_t b = *at;
  while (b < text.size() && std::isspace(static_cast<unsigned char>(text[b]))) {
    ++b;
  }
  std::size_t e = b;
  while (e < text.size() && !std::isspace(static_cast<unsigned char>(text[e]))) {
    ++e;
  }
  *at = e;
  return std::string_view(text).substr(b, e - b);
}

// ---------------------------------------------------------------------------------------------
// Used data and filters

// Copies the subjects with a known genotype into Y1, W1, keeping the pattern grouping: per
// pattern its sequenced rows go to the front block, its non-sequenced rows (all of them) to the
// back block.
void build_complete_subsample(int m1) {
  mis_pats1[1] = 0;
  mis_patn1[1] = m1;
  int a = 0;
  int b = m1;
  for (int j = 1; j <= N_mispat; ++j) {
    for (int r = mis_pats[j] + 1; r <= mis_pats[j + 1]; ++r) {
      if (is_missing(W[r][1])) {
        continue;
      }
      ++a;
      for (int k = 1; k <= K; ++k) {
        Y1[a][k] = Y[r][k];
      }
      for (int l = 1; l <= p; ++l) {
        W1[a][l] = W[r][l];
      }
    }
    mis_pats1[j + 1] = a;
    for (int r = mis_patn[j] + 1; r <= mis_patn[j + 1]; ++r) {
      ++b;
      for (int k = 1; k <= K; ++k) {
        Y1[b][k] = Y[r][k];
      }
    }
    mis_patn1[j + 1] = b;
  }
}

UsedData select_used_data(const VariantCounts &counts) {
  if (counts.nmiss > 0) {
    build_complete_subsample(counts.m1);
    return UsedData{counts.m1, n - counts.nmiss, Y1, W1, mis_pats1, mis_patn1};
  }
  return UsedData{m, n, Y, W, mis_pats, mis_patn};
}

// checkWarning on the used data, then the first variant filter that holds, or nullptr. With no
// known genotype the frequency is undefined and its filter is skipped.
const char *variant_filter(const UsedData &used, VariantCounts *counts) {
  bool low_count = false, no_variation = false, singular = false;
  checkWarning(used.m, p, MAC_LB, used.W, &counts->mac, &low_count, &no_variation, &singular);
  if (counts->m1 > 0 && MAF_LB > counts->maf) {
    return "\tMAF lower than MAF_LB!";
  }
  if (low_count) {
    return "\tMAC lower than MAC_LB!";
  }
  if (no_variation) {
    return "\tNo genetic variation in this sample!";
  }
  if (singular) {
    return "\tCovariate design matrix is singular!";
  }
  return nullptr;
}

int build_unique_covariates(const UsedData &used) {
  int J = 0;
  indexx_Array(p, used.m, used.W, index_W);
  NumUniCov(used.W, p, used.m, index_W, &J);
  CreateUniCov(used.W, p, used.m, index_W, W_Uni, ind_UniW, n_UniW);
  size_fit_arrays(J);
  return J;
}

// ---------------------------------------------------------------------------------------------
// One variant

VariantRows rows;

void end_variant_row(std::ostream &out, const VariantCounts &counts) {
  end_result_row(out, counts.mac, counts.maf, counts.m1 > 0, counts.n0, counts.n1, counts.n2,
                 counts.nmiss);
}

void fill_variant_rows(int groups, const VariantAnalysis &analyse) {
  rows.warn << snp_name;
  begin_result_row(rows.naive, snp_name);
  begin_result_row(rows.mle, snp_name);
  Variant variant;
  variant.counts = count_genotypes(W, 1);
  variant.used = select_used_data(variant.counts);
  const char *filter = variant_filter(variant.used, &variant.counts);
  if (filter != nullptr) {
    rows.warn << filter;
    for (int g = 1; g <= groups; ++g) {
      write_na_group(rows.mle);
    }
    for (int g = 1; g <= groups; ++g) {
      write_na_group(rows.naive);
    }
  } else {
    variant.J = build_unique_covariates(variant.used);
    analyse(variant, rows);
  }
  end_variant_row(rows.mle, variant.counts);
  end_variant_row(rows.naive, variant.counts);
  rows.warn << std::endl;
}

void write_row(std::ofstream &file, const char *path, std::ostringstream &row) {
  file << row.str();
  file.flush();
  check_written(file, path);
  row.str("");
}

// Naive rows as columns 1..p-first+1: row s starts at W1[s][first].
std::vector<double *> naive_view;

}  // namespace

void read_genotype_line(int line_no, double **X, int col) {
  if (!std::getline(fin, header)) {
    stop_on_genotype_line(line_no, "the line cannot be read");
  }
  // NSNP counts the lines up to the last one with content, so trailing blank lines are never
  // read and a blank line here lies between records.
  const int fields = count_fields(header);
  if (fields == 0) {
    stop_on_genotype_line(line_no, "the line is blank; blank lines are allowed only at the end");
  }
  check_variant_identifier(line_no, header);
  if (fields != m + 1) {
    stop_on_genotype_line(line_no, std::to_string(fields) + " fields, expected " +
                                       std::to_string(m + 1) +
                                       " (the variant identifier and one genotype per subject)");
  }
  std::size_t at = 0;
  snp_name = next_field(header, &at);
  for (int i = 1; i <= m; ++i) {
    const std::string_view field = next_field(header, &at);
    double g = 0.0;
    if (!parse_number(field, &g)) {
      stop_on_genotype_line(line_no, "field " + std::to_string(i + 1) + " (\"" +
                                         std::string(field) + "\") is not a number");
    }
    // A genotype is a count of alleles, 0 to 2, or a dosage in between; anything else (3, -9,
    // a 1/2/3 coding) would enter the fit as a number while the counts skip it.
    if (!is_missing(g) && !(g > -kGenotypeTolerance && g < 2.0 + kGenotypeTolerance)) {
      if (analysis_mode == 2 || analysis_mode == 3) {
        // The gene-based analyses report a value outside 0, 1, 2, -999 by their count line.
        std::cerr << "Error: N0+N1+N2+NMISS != m" << std::endl;
      }
      stop_on_genotype_value(line_no, field);
    }
    X[mis_ranks[i]][col] = g;
  }
}

void check_variant_identifier(int line_no, const std::string &text) {
  const std::string_view identifier = std::string_view(text).substr(0, text.find('\t'));
  if (count_fields(identifier) == 0 && count_fields(text) > 0) {
    stop_on_genotype_line(line_no, "field 1 (the variant identifier) is empty");
  }
}

void stop_on_genotype_value(int line_no, std::string_view value) {
  std::cerr << "Error: File " << geno << ", line " << line_no << ", variant " << snp_name
            << ": genotype " << value << " is not 0, 1, 2 or -999" << std::endl;
  kill_program();
}

VariantCounts count_genotypes(double **X, int col) {
  VariantCounts counts;
  for (int i = 1; i <= m; ++i) {
    const double g = X[i][col];
    if (is_missing(g)) {
      ++counts.nmiss;
    } else if (std::fabs(g) < kGenotypeTolerance) {
      ++counts.n0;
    } else if (std::fabs(g - 1.0) < kGenotypeTolerance) {
      ++counts.n1;
    } else if (std::fabs(g - 2.0) < kGenotypeTolerance) {
      ++counts.n2;
    }
  }
  counts.m1 = m - counts.nmiss;
  counts.maf = counts.m1 > 0 ? (counts.n1 + 2.0 * counts.n2) / (2.0 * counts.m1) : 0.0;
  return counts;
}

void fill_twoIND(int first) {
  int position = first;
  for (int k = 1; k <= K; ++k) {
    for (int l = k; l <= K; ++l) {
      twoIND[k][l] = ++position;
    }
  }
}

int form_naive_sample(int k) {
  int rows_in = 0;
  for (int i = 1; i <= m; ++i) {
    if (!is_missing(Y[i][k]) && !is_missing(W[i][1])) {
      ++rows_in;
      na_Y[rows_in] = Y[i][k];
      for (int l = 1; l <= p; ++l) {
        W1[rows_in][l] = W[i][l];
      }
    }
  }
  return rows_in;
}

double **naive_columns(int rows_in, int first) {
  naive_view.assign(m + 1, nullptr);
  for (int s = 1; s <= rows_in; ++s) {
    naive_view[s] = W1[s] + (first - 1);
  }
  return naive_view.data();
}

bool naive_design_singular(double **X, int rows_in, int cols) {
  bool singular = false;
  checkWarningNull(rows_in, cols, X, &singular);
  return singular;
}

bool naive_fit_exact(int rows_in, int cols, double sigma2) {
  if (rows_in <= cols) {
    return true;
  }
  double yy = 0.0;
  for (int s = 1; s <= rows_in; ++s) {
    yy += na_Y[s] * na_Y[s];
  }
  return sigma2 * rows_in <= 1e-24 * yy;
}

void start_single_variant(const std::vector<std::string> &group_names,
                          const std::vector<std::string> &suffixes) {
  fout_naive.open(out_naive);
  fout.open(out_test);
  fout_warn.open(out_warn);
  if (!fout_naive.is_open()) {
    std::cerr << "Error: Cannot opne naive results file" << out_naive << std::endl;
    kill_program();
  }
  if (!fout.is_open()) {
    std::cerr << "Error: Cannot open mle results file " << out_test << std::endl;
    kill_program();
  }
  if (!fout_warn.is_open()) {
    std::cerr << "Error: Cannot open warning file " << out_warn << std::endl;
    kill_program();
  }
  write_result_header(fout, "VARIANT_ID", group_names, suffixes, kStatisticsColumns);
  check_written(fout, out_test);
  write_result_header(fout_naive, "VARIANT_ID", group_names, suffixes, kStatisticsColumns);
  check_written(fout_naive, out_naive);
  fill_twoIND(K * p);
}

void analyse_variants(int groups, const VariantAnalysis &analyse) {
  fin.open(geno);
  skip_byte_order_mark(fin);
  for (int v = 1; v <= NSNP; ++v) {
    read_genotype_line(v, W, 1);
    fill_variant_rows(groups, analyse);
    write_row(fout_warn, out_warn, rows.warn);
    write_row(fout_naive, out_naive, rows.naive);
    write_row(fout, out_test, rows.mle);
  }
}

void finish_single_variant() {
  fin.close();
  close_output(fout, out_test);
  close_output(fout_naive, out_naive);
  close_output(fout_warn, out_warn);
}
