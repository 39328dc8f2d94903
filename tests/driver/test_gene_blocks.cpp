// The gene-SNP map, the gene blocks and the per-gene reading and coding of the genotypes, on
// hand-worked tables; the stops on malformed maps and genotype lines; the output files' headers
// and the rows of a gene without eligible variants.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/gene_blocks.h"
#include "driver/globals.h"
#include "driver/pipelines.h"
#include "tests/independent_model.h"
#include "tests/test_support.h"
#include "toolkit/func_data_process.h"

namespace driver_hooks {
extern int skat_max_order;
}

namespace {

using Strings = std::vector<std::string>;
using Reals = std::vector<double>;

// Four sequenced subjects (K = 2, one covariate 10, 20, 30, 40); subject 2 misses trait 2, so
// the rows of W hold the subjects 2, 1, 3, 4 (mis_ranks = 2, 1, 3, 4). Genotype table lines:
//   1 v1: 0 1 2 -999     N0 = N1 = N2 = NMISS = 1, f = 3/6
//   2 v2: 0 0 0 0        no carrier
//   3 v3: 1 0 0 0
//   4 v1: 2 2 2 2        a second line for v1: the first one counts
//   5 v5: all missing
//   6 v6: 0 0 1 1
const char *kSeq = "A\tB\tC\n1.5\t2.5\t10\n3.5\t-999\t20\n0.5\t1\t30\n2\t3\t40\n";
const char *kNonseq = "5\t6\n7\t8\n";
const char *kGeno =
    "v1\t0\t1\t2\t-999\nv2\t0\t0\t0\t0\nv3\t1\t0\t0\t0\nv1\t2\t2\t2\t2\n"
    "v5\t-999\t-999\t-999\t-999\nv6\t0\t0\t1\t1\n";

class GeneBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    set_test_settings();
    write(seq_path_, "seq.tab", kSeq, &pheno_seq);
    write(nonseq_path_, "nonseq.tab", kNonseq, &pheno_nonseq);
    write(geno_path_, "geno.tab", kGeno, &geno);
    ::testing::internal::CaptureStdout();
    read_input(d_.trait_names, d_.token);
    ::testing::internal::GetCapturedStdout();
  }
  void TearDown() override {
    fin.close();
    release_arrays();
    for (const std::string &path : {seq_path_, nonseq_path_, geno_path_, map_path_})
      std::remove(path.c_str());
  }
  static void set_test_settings() {
    analysis_mode = 3;
    genetic_model = 0;
    SNP_MAC_LB = 0;
    MAF_UB = 0.05;
    MAF_T5 = 0.05;
    flag_scale = flag_skat = flag_t1 = flag_t5 = flag_mb = false;
  }
  void write(std::string &path, const std::string &name, const std::string &text, char **setting) {
    path = varnosta_test::temp_path(name);
    std::ofstream(path) << text;
    *setting = path.data();
  }
  // Reads the map `text` and returns what printing it left on standard output.
  std::string read_map(const std::string &text, GeneAnalysis analysis = GeneAnalysis::kAllTraits) {
    write(map_path_, "map.tab", text, &map_file);
    ::testing::internal::CaptureStdout();
    map_ = read_gene_map(d_, analysis);
    return ::testing::internal::GetCapturedStdout();
  }
  void free_map() {
    free_ivector(map_.gene_start, 1, map_.n_gene + 1);
    free_dvector(map_.kept_maf, 1, map_.n_kept);
    free_ivector(map_.kept_line, 1, map_.n_kept);
  }
  // Starts gene g and reads its genotypes, with every output stream pointed at nothing.
  void load_gene(Gene &gene, int g) {
    start_gene(gene, map_, g, d_, GeneAnalysis::kAllTraits);
    read_gene_genotypes(gene);
  }
  Reals rareW_column(const Gene &gene, int l) {
    Reals out;
    for (int r = 1; r <= m; r++) out.push_back(gene.rareW[r][l]);
    return out;
  }
  Reals W_column1() {
    Reals out;
    for (int r = 1; r <= m; r++) out.push_back(W[r][1]);
    return out;
  }

  DriverLocals d_;
  GeneMap map_;
  std::string seq_path_, nonseq_path_, geno_path_, map_path_;
};

void expect_near(const Reals &got, const Reals &want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) EXPECT_NEAR(got[i], want[i], 1e-12) << "entry " << i;
}

// Records of GB are scattered; vX is not in the table; MAFs 0 and 1 are no minor allele
// frequencies; v1 heads two lines (line 1 counts); v3 is listed twice in GB; blank lines at the
// end are no records. Seven records are sorted by one insertion pass, which keeps the file order
// within a gene.
TEST_F(GeneBlocks, MapKeepsUsableRecordsInGeneBlocks) {
  const std::string printed = read_map(
      "GB v3 0.01\nGA\tv1\t0.05\nGB v6 0.2\nGA vX 0.01\nGB v1 0\nGA v2 1.0\nGB v3 0.01\n \n\n");
  EXPECT_EQ(printed, "There are 2 gene(s) to be analyzed\n");
  EXPECT_EQ(d_.kept_genes, (Strings{"GA", "GB", "GB", "GB"}));
  EXPECT_EQ(d_.kept_snps, (Strings{"v1", "v3", "v6", "v3"}));
  EXPECT_EQ(Reals(map_.kept_maf + 1, map_.kept_maf + 5), (Reals{0.05, 0.01, 0.2, 0.01}));
  EXPECT_EQ(std::vector<int>(map_.kept_line + 1, map_.kept_line + 5),
            (std::vector<int>{1, 3, 6, 3}));
  ASSERT_EQ(map_.n_gene, 2);
  EXPECT_EQ(std::vector<int>(map_.gene_start + 1, map_.gene_start + 4),
            (std::vector<int>{0, 1, 4}));
  EXPECT_TRUE(d_.map_genes.empty() && d_.map_snps.empty() && d_.snp_line.empty());

  // GB reads line 3 for records 1 and 3 and line 6 for record 2; v3 has one carrier (row 2
  // holds line 1's subject), v6 two.
  Gene gene;
  load_gene(gene, 2);
  EXPECT_EQ(gene.name, "GB");
  EXPECT_EQ(gene.G_NSNP1, 3);
  EXPECT_EQ(std::vector<int>(gene.cnt + 1, gene.cnt + 4), (std::vector<int>{1, 2, 1}));
  build_rareW(gene);
  expect_near(rareW_column(gene, 1), {0, 1, 0, 0});
  expect_near(rareW_column(gene, 2), {0, 0, 1, 1});
  expect_near(rareW_column(gene, 3), {0, 1, 0, 0});
  expect_near(rareW_column(gene, 4), {1, 1, 1, 1});
  expect_near(rareW_column(gene, 5), {20, 10, 30, 40});

  // Bounds are inclusive: v3 (0.01) is in T1 and T5; v6 (0.2) only in MB, once MAF_UB is 0.2.
  EXPECT_EQ(burden_score(gene, kGeneTests[kT1]), 2);
  expect_near(W_column1(), {0, 2, 0, 0});
  MAF_UB = 0.2;
  EXPECT_EQ(burden_score(gene, kGeneTests[kT5]), 2);
  expect_near(W_column1(), {0, 2, 0, 0});
  EXPECT_EQ(burden_score(gene, kGeneTests[kMb]), 4);
  const double w3 = 1 / std::sqrt(0.01 * 0.99), w6 = 1 / std::sqrt(0.2 * 0.8);
  expect_near(W_column1(), {0, 2 * w3, w6, w6});
  EXPECT_EQ(test_mac(gene, MAF_UB), 4);
  release_gene(gene);
  free_map();
}

// Gene order after more than seven records: the index sort of the names decides it, and the
// identifier and MAF follow their record.
TEST_F(GeneBlocks, GeneOrderFollowsTheIndexSort) {
  const Strings genes{"G2", "G1", "G2", "G1", "G2", "G1", "G2", "G1", "G2"};
  const Strings snps{"v1", "v3", "v6", "v1", "v3", "v6", "v1", "v3", "v6"};
  std::string text;
  for (size_t i = 0; i < genes.size(); i++)
    text += genes[i] + "\t" + snps[i] + "\t0.0" + std::to_string(i + 1) + "\n";
  read_map(text);
  varnosta_test::IVec indx(static_cast<int>(genes.size()));
  indexxVec(genes, indx.v);
  Strings want_snps;
  Reals want_maf;
  for (int i = 1; i <= indx.n; i++) {
    want_snps.push_back(snps[indx[i]]);
    want_maf.push_back(0.01 * (indx[i] + 1));
  }
  EXPECT_EQ(d_.kept_snps, want_snps);
  expect_near(Reals(map_.kept_maf + 1, map_.kept_maf + 10), want_maf);
  EXPECT_EQ(d_.kept_genes, (Strings{"G1", "G1", "G1", "G1", "G2", "G2", "G2", "G2", "G2"}));
  free_map();
}

// Additive imputes 2f and Dominant f(2 - f), f = (1 + 2) / 6 from the three known genotypes of v1;
// Dominant turns 2 into 1. With -SNP_MAC_LB 1 the single carrier of v3 is not enough; with -1
// a variant without carriers is eligible but an all-missing one (v5) is not.
TEST_F(GeneBlocks, CodingAndEligibility) {
  read_map("G v1 0.05\nG v3 0.05\nG v5 0.05\nG v2 0.05\n");
  const double f = 0.5;
  Gene gene;
  load_gene(gene, 1);
  EXPECT_EQ(std::vector<int>(gene.eligible + 1, gene.eligible + 5), (std::vector<int>{1, 1, 0, 0}));
  build_rareW(gene);
  expect_near(rareW_column(gene, 1), {1, 0, 2, 2 * f});
  release_gene(gene);

  genetic_model = 1;
  SNP_MAC_LB = 1;
  load_gene(gene, 1);
  EXPECT_EQ(gene.G_NSNP1, 1);
  build_rareW(gene);
  expect_near(rareW_column(gene, 1), {1, 0, 1, f * (2 - f)});
  release_gene(gene);

  SNP_MAC_LB = -1;
  load_gene(gene, 1);
  EXPECT_EQ(std::vector<int>(gene.eligible + 1, gene.eligible + 5), (std::vector<int>{1, 1, 0, 1}));
  EXPECT_EQ(std::vector<int>(gene.cnt + 1, gene.cnt + 5), (std::vector<int>{2, 1, 0, 0}));
  release_gene(gene);
  free_map();
}

// A byte-order mark at the start of the map and of the genotype table is no part of the first
// gene name or variant identifier, also when a gene rewinds the table to read its lines.
TEST_F(GeneBlocks, ByteOrderMarksAreSkipped) {
  std::ofstream(geno_path_) << "\xEF\xBB\xBF" << kGeno;
  read_map("\xEF\xBB\xBFGA\tv1\t0.05\n");
  EXPECT_EQ(d_.kept_genes, Strings{"GA"});
  EXPECT_EQ(map_.kept_line[1], 1);
  Gene gene;
  load_gene(gene, 1);
  EXPECT_EQ(snp_name, "v1");
  release_gene(gene);
  free_map();
}

// The arrays of the input phase are alive when a stop ends the process.
class GeneBlocksStop : public GeneBlocks {
 protected:
  void SetUp() override {
    guard_ = std::make_unique<varnosta_test::StopLeaksIgnored>();
    GeneBlocks::SetUp();
  }
  void TearDown() override {
    GeneBlocks::TearDown();
    guard_.reset();
  }
  std::unique_ptr<varnosta_test::StopLeaksIgnored> guard_;
};

// Stops: each names the file and the line.
TEST_F(GeneBlocksStop, MalformedMapsAndGenotypeLinesStop) {
  const std::string stop = "\nProgram was stopped due to error\\(s\\) listed above.\n$";
  auto map_error = [&](const std::string &text) {
    write(map_path_, "map.tab", text, &map_file);
    read_gene_map(d_, GeneAnalysis::kAllTraits);
  };
  const std::string where = "^Error: File [^ ]*map\\.tab, line ";
  EXPECT_EXIT(map_error("G v1 0.1\n\nG v3 0.1\n"), ::testing::ExitedWithCode(1),
              where + "2 is blank; blank lines are allowed only at the end of the map" + stop);
  EXPECT_EXIT(map_error("G v1 0.1\nG v3\n"), ::testing::ExitedWithCode(1),
              where + "2: 2 fields, expected 3 \\(gene name, variant identifier, MAF\\)" + stop);
  EXPECT_EXIT(map_error("G v1 0.1 x\n"), ::testing::ExitedWithCode(1), where + "1: 4 fields");
  EXPECT_EXIT(map_error("G v1 1e999\n"), ::testing::ExitedWithCode(1),
              where + "1, field 3: \"1e999\" is not a number" + stop);
  EXPECT_EXIT(map_error("G v1 0.1x\n"), ::testing::ExitedWithCode(1), "\"0.1x\" is not a number");

  // Genotype lines are checked when a gene reads them, the same way as in the Wald analysis.
  auto geno_error = [&](const std::string &table, int gene_no) {
    std::ofstream(geno_path_) << table;
    read_map("G1 v1 0.01\nG2 v2 0.01\n");
    Gene gene;
    load_gene(gene, gene_no);
  };
  const std::string geno_where = "^Error: File " + geno_path_ + ", line ";
  EXPECT_EXIT(geno_error("v1\t0\t1\t0\t1\nv2\t0\t1\t0\n", 2), ::testing::ExitedWithCode(1),
              geno_where + "2: 4 fields, expected 5 \\(the variant identifier and one genotype " +
                  "per subject\\)" + stop);
  EXPECT_EXIT(geno_error("v1\t0\t1\t0\t1\nv2\t0\tx\t0\t1\n", 2), ::testing::ExitedWithCode(1),
              geno_where + "2: field 3 \\(\"x\"\\) is not a number" + stop);
  // A number that is no genotype stops even a variant that would not be eligible: a dosage by
  // the count check, a value outside 0..2 already in the reader, with the same two lines.
  const std::string no_genotype = "^Error: N0\\+N1\\+N2\\+NMISS != m\n" + geno_where.substr(1);
  EXPECT_EXIT(geno_error("v1\t0\t0\t0.5\t0\nv2\t0\t1\t0\t1\n", 1), ::testing::ExitedWithCode(1),
              no_genotype + "1, variant v1: genotype 0.5 is not 0, 1, 2 or -999" + stop);
  EXPECT_EXIT(geno_error("v1\t0\t1\t0\t1\nv2\t0\t3\t0\t1\n", 2), ::testing::ExitedWithCode(1),
              no_genotype + "2, variant v2: genotype 3 is not 0, 1, 2 or -999" + stop);
  // A line whose first tab-separated field is blank has no identifier: the scan of the table
  // stops on it when the map is read, whether the map names the variant or not.
  auto scan_error = [&](const std::string &table) {
    std::ofstream(geno_path_) << table;
    read_map("G1 v1 0.01\n");
  };
  EXPECT_EXIT(scan_error("v1\t0\t1\t0\t1\n \t0\t1\t0\t1\n"), ::testing::ExitedWithCode(1),
              geno_where + "2: field 1 \\(the variant identifier\\) is empty" + stop);
}

// Headers of the gene-level tables (column order SKAT, T1, T5, MB whatever the selection
// order), the files of the selected tests, and the rows of a gene without eligible variants.
TEST_F(GeneBlocks, OutputFilesAndGeneWithoutEligibleVariants) {
  read_map("G2 v2 0.01\nG6 v6 0.01\n", GeneAnalysis::kOneTrait);
  std::vector<std::string> paths;
  auto out = [&](const std::string &name, char **setting) {
    paths.push_back(varnosta_test::temp_path(name));
    *setting = paths.back().data();
  };
  out("gene.tab", &out_test);
  out("naive.tab", &out_naive);
  out("warn.txt", &out_warn);
  out("t5.tab", &out_t5);
  out("skat.tab", &out_skat);
  const std::string naive_skat = varnosta_test::temp_path("naive_skat.tab");
  out_naive_skat = naive_skat;
  flag_t5 = flag_skat = true;
  open_gene_outputs(d_, GeneAnalysis::kOneTrait);
  Gene gene;
  start_gene(gene, map_, 1, d_, GeneAnalysis::kOneTrait);
  read_gene_genotypes(gene);
  ASSERT_EQ(gene.G_NSNP1, 0);
  write_gene_without_eligible(GeneAnalysis::kOneTrait);
  release_gene(gene);
  close_gene_outputs(map_, d_, GeneAnalysis::kOneTrait);
  flag_t5 = flag_skat = false;

  auto text = [](const std::string &path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  };
  EXPECT_EQ(text(paths[0]),
            "GENE\tSKAT_MAC\tSKAT_T\tSKAT_PVAL\tT5_MAC\tT5_T\tT5_PVAL\n"
            "G2\t0\tNA\tNA\t0\tNA\tNA\n");
  EXPECT_EQ(text(paths[1]),
            "GENE\tSKAT_MAC\tSKAT_T\tSKAT_PVAL\tT5_MAC\tT5_U\tT5_V\tT5_PVAL\n"
            "G2\t0\tNA\tNA\t0\tNA\tNA\tNA\n");
  EXPECT_EQ(text(paths[2]), "G2\tNo eligible SNP in this gene!\n");
  EXPECT_EQ(text(paths[3]), "");
  EXPECT_EQ(text(paths[4]), "");
  EXPECT_EQ(text(naive_skat), "");
  EXPECT_TRUE(d_.kept_genes.empty());
  for (const std::string &path : paths) std::remove(path.c_str());
  std::remove(naive_skat.c_str());
}

// A SKAT information matrix above the order bound: SKAT gets "NA" with its warning and no rows,
// the burden test of the same gene and the next gene still run. With the bound at 1 every gene
// is too large. The T5 variances of these tiny data are not usable: G1's V has a negative
// diagonal entry (V[1][1] = -12.49: "NA", no message, its rows written), G2's V a positive
// diagonal but determinant 1.4937 * 1.4096 - 1.4647^2 < 0 ("NA" with the message, no rows).
TEST_F(GeneBlocks, SkatTooLargeLeavesTheOtherTests) {
  write(map_path_, "map.tab", "G1 v1 0.05\nG1 v3 0.05\nG2 v6 0.05\n", &map_file);
  std::vector<std::string> paths;
  for (char **setting : {&out_test, &out_warn, &out_skat, &out_t5}) {
    paths.push_back(varnosta_test::temp_path(std::to_string(paths.size()) + ".tab"));
    *setting = paths.back().data();
  }
  flag_skat = flag_t5 = true;
  const int bound = driver_hooks::skat_max_order;
  driver_hooks::skat_max_order = 1;
  ::testing::internal::CaptureStdout();
  run_gene_all(d_);
  ::testing::internal::GetCapturedStdout();
  driver_hooks::skat_max_order = bound;
  flag_skat = flag_t5 = false;
  auto lines = [](const std::string &path) { return indep::read_lines(path); };
  const std::vector<std::string> level = lines(paths[0]), warn = lines(paths[1]);
  ASSERT_EQ(level.size(), 3u);
  const std::string too_large = "\t(SKAT) The gene is too large for the SKAT information matrix!";
  EXPECT_EQ(level[1].substr(0, 13), "G1\t3\tNA\tNA\t3\t");
  EXPECT_EQ(level[2].substr(0, 13), "G2\t2\tNA\tNA\t2\t");
  EXPECT_EQ(warn, (std::vector<std::string>{
                      "G1" + too_large, "G2" + too_large + "\t(T5) V is not positive definite!"}));
  EXPECT_TRUE(lines(paths[2]).empty());
  const std::vector<std::string> t5 = lines(paths[3]);
  ASSERT_EQ(t5.size(), 1u * K);
  EXPECT_EQ(t5[0].substr(0, 8), "G1	A	3	1");
  EXPECT_EQ(t5[1].substr(0, 8), "G1	B	3	-");
  for (const std::string &path : paths) std::remove(path.c_str());
}

// A p-value that is no probability gives "NA" for the statistic and the p-value. A SKAT fault
// gives the warning; faults 1, 3, 4 and 5 (Davies' result -1, so P = 2) keep Q and write "NA"
// for P, fault 2 keeps both. A P of exactly 0 without a fault is a tail below the double range
// and is written; a statistic that is not finite has no p-value.
TEST(GeneGroups, NaRulesAndDaviesFaults) {
  auto group = [](double P, int code) {
    std::ostringstream row, warn;
    row << std::scientific << std::setprecision(6);
    if (code < 0)
      write_test_group(row, 7, 12.5, P);
    else
      write_skat_group(row, warn, 7, 12.5, P, code, "\tW");
    return row.str() + "|" + warn.str();
  };
  EXPECT_EQ(group(0.25, -1), "\t7\t1.250000e+01\t2.500000e-01|");
  for (double P : {-999.0, std::nan("")}) {
    EXPECT_EQ(group(P, -1), "\t7\tNA\tNA|");
    EXPECT_EQ(group(P, 0), "\t7\tNA\tNA|");
  }
  EXPECT_EQ(group(0.0, -1), "\t7\t1.250000e+01\t0.000000e+00|");
  EXPECT_EQ(group(0.0, 0), "\t7\t1.250000e+01\t0.000000e+00|");
  std::ostringstream infinite;
  write_test_group(infinite, 7, HUGE_VAL, 0.0);
  EXPECT_EQ(infinite.str(), "\t7\tNA\tNA");
  EXPECT_EQ(group(1e-300, 0), "\t7\t1.250000e+01\t1.000000e-300|");
  EXPECT_EQ(group(0.5, 2), "\t7\t1.250000e+01\t5.000000e-01|\tW");
  EXPECT_EQ(group(-999.0, 2), "\t7\t1.250000e+01\tNA|\tW");
  for (int code : {1, 3, 4, 5}) EXPECT_EQ(group(2.0, code), "\t7\t1.250000e+01\tNA|\tW");
}

}  // namespace
