// Checks the expected tables of the single-variant Wald end-to-end cases (tests/e2e/wald_*)
// against computations written here, independently of the program: the statistics tail from
// the genotype counts, the filter messages and their order, the naive columns by ordinary least
// squares (normal equations solved by Gaussian elimination, variance RSS/n) and, when every
// sequenced subject observes every trait and no non-sequenced subject observes any, the MLE
// columns, which then equal the same least squares (the joint fit's fixed point is the OLS fit
// with covariance RSS/m, and the information of the coefficients is Sigma^-1 (x) W'W).
// The end-to-end runner checks the program against these files; this checks the files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using Row = std::vector<std::string>;

fs::path e2e_dir() { return fs::path(__FILE__).parent_path().parent_path() / "e2e"; }

std::vector<std::string> read_lines(const fs::path &file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  std::string text;
  while (std::getline(in, text)) {
    lines.push_back(text);
  }
  return lines;
}

Row split(const std::string &text, char sep) {
  Row fields;
  std::string field;
  std::istringstream in(text);
  while (std::getline(in, field, sep)) {
    fields.push_back(field);
  }
  if (!text.empty() && text.back() == sep) {
    fields.push_back("");
  }
  return fields;
}

Row tokens(const std::string &text) {
  Row out;
  std::istringstream in(text);
  std::string t;
  while (in >> t) {
    out.push_back(t);
  }
  return out;
}

bool missing(double x) { return std::fabs(x + 999.0) < 1e-10; }

struct Case {
  std::vector<std::string> trait_names;
  int K = 0;
  std::vector<std::vector<double>> traits;      // m x K
  std::vector<std::vector<double>> covariates;  // m x (p - 2)
  std::vector<std::vector<double>> nonseq;      // (n - m) x K
  std::vector<std::string> geno_lines;
  double maf_lb = 0.0;
  int mac_lb = 0;
  std::string mle = "mle.tab", naive = "naive.tab", warn = "warning.txt";
  std::string pheno_seq = "pheno_seq.tab", pheno_nonseq = "pheno_nonseq.tab", geno = "geno.tab";
};

std::vector<double> numbers(const Row &fields, size_t from) {
  std::vector<double> v;
  for (size_t i = from; i < fields.size(); ++i) {
    v.push_back(std::strtod(fields[i].c_str(), nullptr));
  }
  return v;
}

Case read_case(const fs::path &dir) {
  Case cs;
  std::vector<std::string> args = read_lines(dir / "args");
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    const std::string &a = args[i], &v = args[i + 1];
    if (a == "-MAF_LB")
      cs.maf_lb = std::strtod(v.c_str(), nullptr);
    if (a == "-MAC_LB")
      cs.mac_lb = static_cast<int>(std::strtol(v.c_str(), nullptr, 10));
    if (a == "-OUT_MLE")
      cs.mle = v;
    if (a == "-OUT_NAIVE")
      cs.naive = v;
    if (a == "-OUT_WARN")
      cs.warn = v;
    if (a == "-PHENO_SEQ")
      cs.pheno_seq = v;
    if (a == "-PHENO_NONSEQ")
      cs.pheno_nonseq = v;
    if (a == "-GENO")
      cs.geno = v;
  }
  fs::path in = dir / "inputs";
  for (const std::string &l : read_lines(in / cs.pheno_nonseq)) {
    if (!tokens(l).empty())
      cs.nonseq.push_back(numbers(tokens(l), 0));
  }
  cs.K = static_cast<int>(cs.nonseq.at(0).size());
  std::vector<std::string> seq = read_lines(in / cs.pheno_seq);
  Row head = tokens(seq.at(0));
  cs.trait_names.assign(head.begin(), head.begin() + cs.K);
  for (size_t i = 1; i < seq.size(); ++i) {
    if (tokens(seq[i]).empty())
      continue;
    std::vector<double> v = numbers(tokens(seq[i]), 0);
    cs.traits.emplace_back(v.begin(), v.begin() + cs.K);
    cs.covariates.emplace_back(v.begin() + cs.K, v.end());
  }
  cs.geno_lines = read_lines(in / cs.geno);
  return cs;
}

// Gaussian elimination with partial pivoting on A (n x n) x = b for several right-hand
// sides; false when a pivot falls below tol times the largest diagonal entry (rank deficient).
bool solve(std::vector<std::vector<double>> A, std::vector<std::vector<double>> &B) {
  size_t n = A.size();
  double scale = 0.0;
  for (size_t i = 0; i < n; ++i) scale = std::max(scale, std::fabs(A[i][i]));
  if (scale == 0.0)
    return false;
  for (size_t col = 0; col < n; ++col) {
    size_t piv = col;
    for (size_t r = col + 1; r < n; ++r) {
      if (std::fabs(A[r][col]) > std::fabs(A[piv][col]))
        piv = r;
    }
    if (std::fabs(A[piv][col]) <= 1e-10 * scale)
      return false;
    std::swap(A[piv], A[col]);
    std::swap(B[piv], B[col]);
    for (size_t r = 0; r < n; ++r) {
      if (r == col)
        continue;
      double f = A[r][col] / A[col][col];
      for (size_t k = col; k < n; ++k) A[r][k] -= f * A[col][k];
      for (size_t k = 0; k < B[r].size(); ++k) B[r][k] -= f * B[col][k];
    }
  }
  for (size_t r = 0; r < n; ++r) {
    for (double &x : B[r]) x /= A[r][r];
  }
  return true;
}

struct Ols {
  bool singular = true;
  double beta = 0.0, var = 0.0, rss = 0.0, yy = 0.0;
};

// Least squares of y on the rows of X, testing column 0: its estimate, its variance
// (RSS/n) [(X'X)^-1]_00, and the residual sum of squares.
Ols ols(const std::vector<std::vector<double>> &X, const std::vector<double> &y) {
  Ols r;
  size_t n = X.size(), p = X.empty() ? 0 : X[0].size();
  if (n == 0)
    return r;
  std::vector<std::vector<double>> A(p, std::vector<double>(p, 0.0));
  std::vector<std::vector<double>> B(p, std::vector<double>(2, 0.0));  // X'y and e_0
  for (size_t s = 0; s < n; ++s) {
    for (size_t i = 0; i < p; ++i) {
      for (size_t j = 0; j < p; ++j) A[i][j] += X[s][i] * X[s][j];
      B[i][0] += X[s][i] * y[s];
    }
    r.yy += y[s] * y[s];
  }
  B[0][1] = 1.0;
  if (!solve(A, B))
    return r;
  r.singular = false;
  for (size_t s = 0; s < n; ++s) {
    double e = y[s];
    for (size_t j = 0; j < p; ++j) e -= X[s][j] * B[j][0];
    r.rss += e * e;
  }
  r.beta = B[0][0];
  r.var = r.rss / static_cast<double>(n) * B[0][1];
  return r;
}

double num(const std::string &s) { return std::strtod(s.c_str(), nullptr); }

void expect_close(const std::string &got, double want, double rel, double abs,
                  const std::string &what) {
  ASSERT_NE(got, "NA") << what;
  EXPECT_NEAR(num(got), want, rel * std::fabs(want) + abs) << what;
}

// Chi-square(1) tail of (beta/se)^2, from the printed beta and se; the tolerance follows the
// rounding of the two printed values (relative 5e-7 each) through the tail.
void expect_pvalue(const Row &g, size_t at, const std::string &what) {
  double z = num(g[at]) / num(g[at + 1]);
  double want = std::erfc(std::fabs(z) / std::sqrt(2.0));
  expect_close(g[at + 2], want, 2e-6 * (1.0 + z * z) + 1e-5, 1e-300, what + " p-value");
}

struct Variant {
  std::string id;
  std::vector<double> g;  // m genotypes
  int n0 = 0, n1 = 0, n2 = 0, nmiss = 0, mac = 0, m1 = 0;
  double maf = 0.0;
};

Variant count(const std::string &text) {
  Variant v;
  Row t = tokens(text);
  v.id = t.at(0);
  v.g = numbers(t, 1);
  for (double x : v.g) {
    if (missing(x)) {
      ++v.nmiss;
      continue;
    }
    if (std::fabs(x) < 1e-10)
      ++v.n0;
    else if (std::fabs(x - 1) < 1e-10)
      ++v.n1;
    else if (std::fabs(x - 2) < 1e-10)
      ++v.n2;
    if (x >= 1.0)
      ++v.mac;
  }
  v.m1 = static_cast<int>(v.g.size()) - v.nmiss;
  v.maf = (v.n1 + 2.0 * v.n2) / (2.0 * v.m1);
  return v;
}

std::vector<double> design_row(const Case &cs, const Variant &v, size_t i) {
  std::vector<double> row{v.g[i], 1.0};
  row.insert(row.end(), cs.covariates[i].begin(), cs.covariates[i].end());
  return row;
}

std::string filter_message(const Case &cs, const Variant &v) {
  if (v.m1 > 0 && cs.maf_lb > v.maf)
    return "MAF lower than MAF_LB!";
  if (v.mac < cs.mac_lb)
    return "MAC lower than MAC_LB!";
  std::vector<std::vector<double>> X;
  std::vector<double> y;
  bool variation = false;
  for (size_t i = 0; i < v.g.size(); ++i) {
    if (missing(v.g[i]))
      continue;
    if (!X.empty() && v.g[i] != X[0][0])
      variation = true;
    X.push_back(design_row(cs, v, i));
    y.push_back(0.0);
  }
  if (!variation)
    return "No genetic variation in this sample!";
  if (ols(X, y).singular)
    return "Covariate design matrix is singular!";
  return "";
}

Ols naive_fit(const Case &cs, const Variant &v, int k) {
  std::vector<std::vector<double>> X;
  std::vector<double> y;
  for (size_t i = 0; i < v.g.size(); ++i) {
    if (missing(v.g[i]) || missing(cs.traits[i][k]))
      continue;
    X.push_back(design_row(cs, v, i));
    y.push_back(cs.traits[i][k]);
  }
  return ols(X, y);
}

bool mle_is_least_squares(const Case &cs) {
  for (const auto &t : cs.traits) {
    for (double y : t) {
      if (missing(y))
        return false;
    }
  }
  for (const auto &t : cs.nonseq) {
    for (double y : t) {
      if (!missing(y))
        return false;
    }
  }
  return true;
}

void check_tail(const Row &r, const Variant &v, int K, const std::string &what) {
  ASSERT_EQ(r.size(), static_cast<size_t>(1 + 3 * K + 6)) << what;
  size_t t = 1 + 3 * K;
  EXPECT_EQ(r[t], std::to_string(v.mac)) << what << " MAC";
  if (v.m1 == 0) {
    EXPECT_EQ(r[t + 1], "NA") << what << " MAF";
  } else {
    expect_close(r[t + 1], v.maf, 1e-6, 0.0, what + " MAF");
  }
  EXPECT_EQ(r[t + 2], std::to_string(v.n0)) << what;
  EXPECT_EQ(r[t + 3], std::to_string(v.n1)) << what;
  EXPECT_EQ(r[t + 4], std::to_string(v.n2)) << what;
  EXPECT_EQ(r[t + 5], std::to_string(v.nmiss)) << what;
}

// One naive (or least-squares MLE) trait group against the independent fit.
void check_ls_group(const Row &r, size_t at, const Ols &f, double se_rel, const std::string &what) {
  ASSERT_FALSE(f.singular) << what;
  expect_close(r[at], f.beta, 2e-6, 1e-12, what + " estimate");
  if (f.rss <= 1e-24 * f.yy) {  // an exact fit has no usable variance
    EXPECT_EQ(r[at + 1], "NA") << what;
    EXPECT_EQ(r[at + 2], "NA") << what;
    return;
  }
  expect_close(r[at + 1], std::sqrt(f.var), se_rel, 0.0, what + " se");
  expect_pvalue(r, at, what);
}

// Checks every row the case expects (a stopped run expects only the rows before the stop).
void check_case(const std::string &name) {
  fs::path dir = e2e_dir() / name;
  Case cs = read_case(dir);
  fs::path files = dir / "expected" / "files";
  std::vector<std::string> naive = read_lines(files / cs.naive);
  std::vector<std::string> warn = read_lines(files / cs.warn);
  bool have_mle = fs::exists(files / cs.mle);
  std::vector<std::string> mle = have_mle ? read_lines(files / cs.mle) : naive;

  std::string header = "VARIANT_ID\t";
  for (const std::string &t : cs.trait_names) header += t + "_BETA\t" + t + "_SE\t" + t + "_PVAL\t";
  header += "MAC\tMAF\tN0\tN1\tN2\tNMISS";
  ASSERT_FALSE(naive.empty());
  EXPECT_EQ(naive[0], header);
  EXPECT_EQ(mle[0], header);
  ASSERT_EQ(warn.size() + 1, naive.size());
  ASSERT_EQ(mle.size(), naive.size());
  ASSERT_LE(warn.size(), cs.geno_lines.size());
  bool least_squares = mle_is_least_squares(cs);

  for (size_t v_no = 0; v_no < warn.size(); ++v_no) {
    Variant v = count(cs.geno_lines[v_no]);
    std::string what = name + " " + v.id;
    Row nr = split(naive[v_no + 1], '\t'), mr = split(mle[v_no + 1], '\t');
    Row wr = split(warn[v_no], '\t');
    ASSERT_EQ(nr[0], v.id);
    ASSERT_EQ(mr[0], v.id);
    ASSERT_EQ(wr[0], v.id);
    check_tail(nr, v, cs.K, what);
    check_tail(mr, v, cs.K, what);

    std::string filter = filter_message(cs, v);
    if (!filter.empty()) {
      EXPECT_EQ(wr, Row({v.id, filter})) << what;
      for (int f = 1; f <= 3 * cs.K; ++f) {
        EXPECT_EQ(nr[f], "NA") << what;
        EXPECT_EQ(mr[f], "NA") << what;
      }
      continue;
    }
    size_t w = 1;
    if (w < wr.size() && wr[w] == "EM algorithm does not converge!")
      ++w;
    bool info_bad = w < wr.size() && wr[w] == "The information matrix is not positive definite!";
    if (info_bad)
      ++w;
    for (int k = 0; k < cs.K; ++k) {
      size_t at = 1 + 3 * k;
      std::string wk = what + " trait " + cs.trait_names[k];
      Ols f = naive_fit(cs, v, k);
      if (f.singular) {
        EXPECT_EQ(nr[at], "NA") << wk;
        EXPECT_EQ(nr[at + 1], "NA") << wk;
        EXPECT_EQ(nr[at + 2], "NA") << wk;
        ASSERT_LT(w, wr.size()) << wk;
        EXPECT_EQ(wr[w++], "Naive design matrix is singular for trait " + cs.trait_names[k] + "!");
      } else {
        check_ls_group(nr, at, f, 2e-6, wk + " naive");
      }
      if (!have_mle)
        continue;
      ASSERT_NE(mr[at], "NA") << wk;
      if (info_bad) {
        EXPECT_EQ(mr[at + 1], "NA") << wk;
        EXPECT_EQ(mr[at + 2], "NA") << wk;
      } else if (least_squares) {
        // The fit stops within 1e-4 (L1) of its fixed point.
        expect_close(mr[at], f.beta, 1e-4, 1e-4, wk + " MLE estimate");
        expect_close(mr[at + 1], std::sqrt(f.var), 1e-3, 0.0, wk + " MLE se");
        expect_pvalue(mr, at, wk + " MLE");
      } else {
        expect_pvalue(mr, at, wk + " MLE");
      }
    }
    EXPECT_EQ(w, wr.size()) << what << ": unexpected warning " << warn[v_no];
  }
}

TEST(WaldExpected, FiltersOddAndMissingGenotypes) { check_case("wald_filters"); }
TEST(WaldExpected, OneTraitFourSubjects) { check_case("wald_k1_m4"); }
TEST(WaldExpected, NaiveSingularAndExactFit) { check_case("wald_naive_mends"); }
TEST(WaldExpected, RowsBeforeMalformedLines) {
  check_case("wald_malformed_value");
  check_case("wald_malformed_fields");
}
TEST(WaldExpected, NonConvergence) { check_case("wald_nonconvergence"); }
TEST(WaldExpected, NoVariant) { check_case("wald_nsnp0"); }
TEST(WaldExpected, ExampleData) { check_case("wald_example"); }

}  // namespace
