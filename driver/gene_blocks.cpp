#include "driver/gene_blocks.h"

#include <cmath>
#include <iomanip>
#include <ios>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "driver/fields.h"
#include "driver/globals.h"
#include "driver/output_files.h"
#include "driver/single_variant.h"
#include "engine/func_algorithm.h"
#include "toolkit/func_data_process.h"
#include "toolkit/func_linear_algebra.h"

namespace {

// The fixed frequency bound of T1.
const double kMafT1 = 0.01;

}  // namespace

// clang-format off
const GeneTest kGeneTests[kGeneTestCount] = {
    {"SKAT", &flag_skat, &out_skat, &DriverLocals::fout_skat, &MAF_UB, false, false, "MAC\tT\tPVAL", "(SKAT) ", 3},
    {"T1", &flag_t1, &out_t1, &DriverLocals::fout_t1, &kMafT1, true, false, "MAC\tU\tV\tPVAL", "(T1) ", 0},
    {"T5", &flag_t5, &out_t5, &DriverLocals::fout_t5, &MAF_T5, true, false, "MAC\tU\tV\tPVAL", "(T5) ", 1},
    {"MB", &flag_mb, &out_mb, &DriverLocals::fout_mb, &MAF_UB, true, true, "MAC\tU\tV\tPVAL", "(MB) ", 2},
};
// clang-format on

bool any_gene_test_selected() {
  for (const GeneTest &test : kGeneTests) {
    if (*test.selected) {
      return true;
    }
  }
  return false;
}

namespace {

[[noreturn]] void stop(const std::string &message) {
  std::cerr << message << std::endl;
  kill_program();
}

std::vector<std::string> tokens_of(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) {
    out.push_back(word);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Map

// Reads the nrow records of the map, checking each line: exactly three fields, the third a
// number. Blank lines after the last record were not counted; a blank line before it is an
// error, as in the input tables.
void read_map_records(int nrow, DriverLocals &d, double *map_maf) {
  fin.clear();
  fin.open(map_file);
  skip_byte_order_mark(fin);
  for (int i = 1; i <= nrow; i++) {
    std::getline(fin, header);
    const std::string where =
        std::string("Error: File ") + map_file + ", line " + std::to_string(i);
    const std::vector<std::string> fields = tokens_of(header);
    if (fields.empty()) {
      stop(where + " is blank; blank lines are allowed only at the end of the map");
    }
    if (fields.size() != 3) {
      stop(where + ": " + std::to_string(fields.size()) +
           " fields, expected 3 (gene name, variant identifier, MAF)");
    }
    if (!parse_number(fields[2], &map_maf[i])) {
      stop(where + ", field 3: \"" + fields[2] + "\" is not a number");
    }
    d.map_genes.push_back(fields[0]);
    d.map_snps.push_back(fields[1]);
  }
  fin.close();
}

// Records in ascending gene name; the index sort decides the order within a gene.
void sort_map(int nrow, DriverLocals &d, double *map_maf) {
  if (nrow <= 0) {
    return;
  }
  int *indx = ivector(1, nrow);
  indexxVec(d.map_genes, indx);
  sortByIndexVec(d.map_genes, indx);
  sortByIndexVec(d.map_snps, indx);
  for (int i = 1; i <= nrow; i++) {
    indx[i] += 1;
  }
  sortByIndex(map_maf, nrow, indx);
  free_ivector(indx, 1, nrow);
}

// One pass over the genotype table: the line of the first occurrence of every identifier. The
// table stays open for the gene loop. A line without an identifier stops the run here, whether
// the map names its variant or not.
void scan_genotype_table(DriverLocals &d) {
  fin.clear();
  fin.open(geno);
  skip_byte_order_mark(fin);
  for (int r = 1; r <= NSNP; r++) {
    std::getline(fin, header);
    check_variant_identifier(r, header);
    line.clear();
    line.str(header);
    if (line >> snp_name) {
      d.snp_line.emplace(snp_name, r);  // no effect when the identifier is already a key
    }
  }
}

// map_line[i]: the genotype line of record i, or -1 for a record that is not used: its variant
// is not in the table, or its MAF is not the frequency of a minor allele (not in (0, 1)).
void find_records(int nrow, DriverLocals &d, const double *map_maf, int *map_line) {
  for (int i = 1; i <= nrow; i++) {
    const auto found = d.snp_line.find(d.map_snps[i - 1]);
    map_line[i] = found == d.snp_line.end() ? -1 : found->second;
  }
  d.snp_line.clear();
  for (int i = 1; i <= nrow; i++) {
    if (map_maf[i] <= 0.0 || map_maf[i] >= 1.0) {
      map_line[i] = -1;
    }
  }
}

void stop_without_records() {
  std::cout << "No Variants are eligible for the analysis!" << std::endl;
  std::cout << "This may be caused by one or more of the the following reasons:" << std::endl;
  std::cout << "\t1. No variant in the map file is included in the genotype file." << std::endl;
  kill_program();
}

void compact_records(int nrow, DriverLocals &d, const double *map_maf, const int *map_line,
                     GeneMap &map) {
  map.n_kept = 0;
  for (int i = 1; i <= nrow; i++) {
    map.n_kept += map_line[i] != -1;
  }
  if (nrow <= 0 || map.n_kept == 0) {
    stop_without_records();
  }
  map.kept_maf = dvector(1, map.n_kept);
  map.kept_line = ivector(1, map.n_kept);
  int k = 0;
  for (int i = 1; i <= nrow; i++) {
    if (map_line[i] == -1) {
      continue;
    }
    d.kept_snps.push_back(d.map_snps[i - 1]);
    d.kept_genes.push_back(d.map_genes[i - 1]);
    ++k;
    map.kept_maf[k] = map_maf[i];
    map.kept_line[k] = map_line[i];
  }
  d.map_genes.clear();
  d.map_snps.clear();
}

void cut_gene_blocks(const DriverLocals &d, GeneMap &map) {
  map.n_gene = 1;
  for (int i = 0; i + 1 < map.n_kept; i++) {
    map.n_gene += d.kept_genes[i] != d.kept_genes[i + 1];
  }
  map.gene_start = ivector(1, map.n_gene + 1);
  map.gene_start[1] = 0;
  int g = 1;
  for (int i = 0; i + 1 < map.n_kept; i++) {
    if (d.kept_genes[i] != d.kept_genes[i + 1]) {
      map.gene_start[++g] = i + 1;
    }
  }
  map.gene_start[map.n_gene + 1] = map.n_kept;
}

}  // namespace

GeneMap read_gene_map(DriverLocals &d, GeneAnalysis analysis) {
  int nrow = 0, ncol = 0;
  // Blank lines after the last record are not records.
  dimRecords(&nrow, &ncol, map_file, 'F');
  if (analysis == GeneAnalysis::kOneTrait) {
    std::cout << std::endl << "The map file has " << nrow << " rows" << std::endl << std::endl;
  }
  double *map_maf = dvector(1, nrow);
  read_map_records(nrow, d, map_maf);
  sort_map(nrow, d, map_maf);

  int *map_line = ivector(1, nrow);
  scan_genotype_table(d);
  find_records(nrow, d, map_maf, map_line);

  GeneMap map;
  compact_records(nrow, d, map_maf, map_line, map);
  free_dvector(map_maf, 1, nrow);
  free_ivector(map_line, 1, nrow);

  cut_gene_blocks(d, map);
  std::cout << "There are " << map.n_gene << " gene(s) to be analyzed" << std::endl;
  return map;
}

// ---------------------------------------------------------------------------------------------
// Output files

namespace {

void open_or_stop(std::ofstream &out, const std::string &file, const char *message) {
  out.open(file, std::ios::out | std::ios::trunc);
  if (!out.is_open()) {
    std::cerr << message << file << std::endl;
    kill_program();
  }
  out << std::scientific << std::setprecision(6);
}

// "GENE", then one group per selected test in column order; each column is the test's name,
// "_" and the column's name.
void write_gene_header(std::ofstream &out, const char *path, bool naive) {
  out << "GENE";
  for (const GeneTest &test : kGeneTests) {
    if (!*test.selected) {
      continue;
    }
    std::istringstream columns(naive ? test.naive_columns : "MAC\tT\tPVAL");
    for (std::string column; std::getline(columns, column, '\t');) {
      out << '\t' << test.name << '_' << column;
    }
  }
  end_line(out, path);
}

}  // namespace

void open_gene_outputs(DriverLocals &d, GeneAnalysis analysis) {
  const char *kVariantMessage = "Error: Cannot open variant level results file ";
  for (const GeneTest &test : kGeneTests) {
    if (!*test.selected) {
      continue;
    }
    open_or_stop(d.*test.stream, *test.file, kVariantMessage);
    if (&test == &kGeneTests[kSkat] && analysis == GeneAnalysis::kOneTrait) {
      open_or_stop(d.fout_naive_skat, out_naive_skat, kVariantMessage);
    }
  }
  open_or_stop(fout, out_test, "Error: Cannot open gene level testing results file ");
  write_gene_header(fout, out_test, false);
  if (analysis == GeneAnalysis::kOneTrait) {
    open_or_stop(fout_naive, out_naive,
                 "Error: Cannot open naive gene level testing results file ");
    write_gene_header(fout_naive, out_naive, true);
  }
  open_or_stop(fout_warn, out_warn, "Error: Cannot open warning file ");
}

void close_gene_outputs(GeneMap &map, DriverLocals &d, GeneAnalysis analysis) {
  for (const GeneTest &test : kGeneTests) {
    if (!*test.selected) {
      continue;
    }
    close_output(d.*test.stream, *test.file);
    if (&test == &kGeneTests[kSkat] && analysis == GeneAnalysis::kOneTrait) {
      close_output(d.fout_naive_skat, out_naive_skat);
    }
  }
  fin.close();
  if (analysis == GeneAnalysis::kOneTrait) {
    close_output(fout_naive, out_naive);
  }
  close_output(fout, out_test);
  close_output(fout_warn, out_warn);
  free_ivector(map.gene_start, 1, map.n_gene + 1);
  free_dvector(map.kept_maf, 1, map.n_kept);
  free_ivector(map.kept_line, 1, map.n_kept);
  map = GeneMap();
  d.kept_snps.clear();
  d.kept_genes.clear();
}

// ---------------------------------------------------------------------------------------------
// One gene

void start_gene(Gene &gene, const GeneMap &map, int g, const DriverLocals &d,
                GeneAnalysis analysis) {
  fin.clear();
  fin.seekg(0);
  skip_byte_order_mark(fin);
  gene.map = &map;
  gene.locals = &d;
  gene.first = map.gene_start[g];
  gene.G = map.gene_start[g + 1] - map.gene_start[g];
  gene.name = d.kept_genes[gene.first];
  gene.G_NSNP1 = 0;
  fout << gene.name;
  if (analysis == GeneAnalysis::kOneTrait) {
    fout_naive << gene.name;
  }
  fout_warn << gene.name;

  const int G = gene.G;
  gene.line = ivector(1, G);
  gene.read_order = ivector(1, G);
  gene.cnt = ivector(1, G);
  gene.eligible = ivector(1, G);
  gene.X = dmatrix(1, m, 1, G);
  for (int j = 1; j <= G; j++) {
    gene.line[j] = map.kept_line[gene.first + j];
    gene.cnt[j] = 0;
    gene.eligible[j] = 0;
  }
  indexx(G, gene.line, gene.read_order);
}

namespace {

// A genotype that the counts take for none of 0, 1, 2 and -999.
bool no_genotype(double x) {
  return !is_missing(x) && std::fabs(x) >= 1e-10 && std::fabs(x - 1.0) >= 1e-10 &&
         std::fabs(x - 2.0) >= 1e-10;
}

// A genotype that is none of 0, 1, 2, -999: the count line, then where it stands.
[[noreturn]] void stop_on_genotype_count(int line_no) {
  std::cerr << "Error: N0+N1+N2+NMISS != m" << std::endl;
  const std::vector<std::string> fields = tokens_of(header);
  for (int i = 1; i <= m; i++) {
    double x = 0.0;
    parse_number(fields[i], &x);
    if (no_genotype(x)) {
      stop_on_genotype_value(line_no, fields[i]);
    }
  }
  kill_program();
}

// Counts column j of X and, for an eligible variant, codes it: a missing genotype becomes its
// expectation under the sample allele frequency f of the known genotypes (Additive 2f,
// Dominant f(2 - f)); Dominant turns every carrier into 1.
void count_and_code(Gene &gene, int j, int line_no) {
  const VariantCounts counts = count_genotypes(gene.X, j);
  if (counts.n0 + counts.n1 + counts.n2 + counts.nmiss != m) {
    stop_on_genotype_count(line_no);
  }
  double **X = gene.X;
  gene.cnt[j] = counts.n1 + counts.n2;
  // Without a known genotype the frequency is 0/0: such a variant is never eligible, whatever
  // the bound.
  if (gene.cnt[j] <= SNP_MAC_LB || counts.m1 == 0) {
    return;
  }
  gene.eligible[j] = 1;
  gene.G_NSNP1++;
  const double f = counts.maf;
  for (int r = 1; r <= m; r++) {
    const bool missing = is_missing(X[r][j]);
    if (genetic_model == 0) {
      if (missing) {
        X[r][j] = 2.0 * f;
      }
    } else if (missing) {
      X[r][j] = f * (2.0 - f);
    } else if (X[r][j] > 0.5) {
      X[r][j] = 1.0;
    }
  }
}

}  // namespace

void read_gene_genotypes(Gene &gene) {
  int current = 1;  // the stream stands at the start of this line
  int s = 1;
  while (s <= gene.G) {
    const int j = gene.read_order[s];
    const int target = gene.line[j];
    for (; current < target; current++) {
      fin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    read_genotype_line(target, gene.X, j);
    current = target + 1;
    // A variant listed twice for the gene: every record of the line takes its values (they
    // follow one another in line order).
    int t = s + 1;
    for (; t <= gene.G && gene.line[gene.read_order[t]] == target; t++) {
      for (int r = 1; r <= m; r++) {
        gene.X[r][gene.read_order[t]] = gene.X[r][j];
      }
    }
    for (; s < t; s++) {
      count_and_code(gene, gene.read_order[s], target);
    }
  }
}

void write_gene_without_eligible(GeneAnalysis analysis) {
  fout_warn << "\tNo eligible SNP in this gene!";
  end_line(fout_warn, out_warn);
  for (const GeneTest &test : kGeneTests) {
    if (!*test.selected) {
      continue;
    }
    fout << "\t0\tNA\tNA";
    if (analysis == GeneAnalysis::kOneTrait) {
      fout_naive << (test.burden ? "\t0\tNA\tNA\tNA" : "\t0\tNA\tNA");
    }
  }
  end_line(fout, out_test);
  if (analysis == GeneAnalysis::kOneTrait) {
    end_line(fout_naive, out_naive);
  }
}

void build_rareW(Gene &gene) {
  const int width = gene.G_NSNP1 + p - 1;
  gene.rareW = dmatrix(1, m, 1, width);
  for (int r = 1; r <= m; r++) {
    int l = 1;
    for (int j = 1; j <= gene.G; j++) {
      if (gene.eligible[j]) {
        gene.rareW[r][l++] = gene.X[r][j];
      }
    }
    if (l != gene.G_NSNP1 + 1) {
      stop("ERROR: j != G_NSNP1+1 (rareW)");
    }
    gene.rareW[r][l] = 1.0;
    for (int col = 3; col <= p; col++) {
      gene.rareW[r][gene.G_NSNP1 + col - 1] = W[r][col];
    }
  }
  free_dmatrix(gene.X, 1, m, 1, gene.G);
  gene.X = nullptr;
}

int test_mac(const Gene &gene, double bound) {
  int mac = 0;
  for (int j = 1; j <= gene.G; j++) {
    if (gene.eligible[j] && gene.maf(j) <= bound) {
      mac += gene.cnt[j];
    }
  }
  return mac;
}

int burden_score(const Gene &gene, const GeneTest &test) {
  const double bound = *test.maf_bound;
  for (int r = 1; r <= m; r++) {
    W[r][1] = 0.0;
    int l = 1;
    for (int j = 1; j <= gene.G; j++) {
      if (!gene.eligible[j]) {
        continue;
      }
      const double maf = gene.maf(j);
      if (maf <= bound) {
        W[r][1] +=
            test.mb_weights ? gene.rareW[r][l] / std::sqrt((1.0 - maf) * maf) : gene.rareW[r][l];
      }
      l++;
    }
    if (l != gene.G_NSNP1 + 1) {
      stop(std::string("Error: l != G_NSNP1+1 (") + test.name + ".1)");
    }
  }
  return test_mac(gene, bound);
}

bool constant_column(double **X, int col) {
  for (int i = 2; i <= m; i++) {
    if (X[i][col] != X[1][col]) {
      return false;
    }
  }
  return true;
}

void zero_score_element(double *U, double **V, int L, int e) {
  U[e] = 0.0;
  for (int b = 1; b <= L; b++) {
    V[e][b] = V[b][e] = 0.0;
  }
}

void write_test_group(std::ostream &row, int mac, double stat, double P) {
  if (P >= 0.0 && std::isfinite(stat)) {
    row << '\t' << mac << '\t' << stat << '\t' << P;
  } else {
    row << '\t' << mac << "\tNA\tNA";
  }
}

void write_skat_group(std::ostream &row, std::ostream &warn, int mac, double Q, double P, int code,
                      const char *accuracy_warning) {
  if (code <= 0) {
    write_test_group(row, mac, Q, P);
    return;
  }
  warn << accuracy_warning;
  // Davies' faults other than round-off leave -1 as the distribution value, so 1 - res is no
  // probability.
  if (code == 2 && P >= 0.0) {
    row << '\t' << mac << '\t' << Q << '\t' << P;
  } else {
    row << '\t' << mac << '\t' << Q << "\tNA";
  }
}

void write_mle_skat_group(std::ostream &row, std::ostream &warn, int mac, int len, double *U,
                          double **V, double *w, const char *accuracy_warning,
                          const std::function<void()> &write_rows) {
  // Louis' variance need not be semi-definite; with a negative direction Q has no weighted
  // chi-square law, and dropping the offending variants would test a different set.
  if (!skat_variance_acceptable(len, V, w)) {
    row << '\t' << mac << "\tNA\tNA";
    warn << "\t(SKAT) V is not positive semi-definite!";
    return;
  }
  write_rows();
  double Q = 0.0, P = 0.0;
  int code = 0;
  MASS_metaPval_v2(2, len, U, V, w, &Q, &P, &code);
  write_skat_group(row, warn, mac, Q, P, code, accuracy_warning);
}

void end_gene_lines(GeneAnalysis analysis) {
  if (analysis == GeneAnalysis::kAllTraits) {
    end_line(fout, out_test);
    end_line(fout_warn, out_warn);
    return;
  }
  end_line(fout_warn, out_warn);
  end_line(fout_naive, out_naive);
  end_line(fout, out_test);
}

void release_gene(Gene &gene) {
  const int G = gene.G;
  if (gene.X != nullptr) {
    free_dmatrix(gene.X, 1, m, 1, G);
  }
  if (gene.rareW != nullptr) {
    free_dmatrix(gene.rareW, 1, m, 1, gene.G_NSNP1 + p - 1);
  }
  free_ivector(gene.eligible, 1, G);
  free_ivector(gene.cnt, 1, G);
  free_ivector(gene.read_order, 1, G);
  free_ivector(gene.line, 1, G);
  gene = Gene();
}

bool finite_score(const double *U, double **V, int L) {
  for (int a = 1; a <= L; a++) {
    if (!std::isfinite(U[a]))
      return false;
    for (int b = a; b <= L; b++) {
      if (!std::isfinite(V[a][b]))
        return false;
    }
  }
  return true;
}
