// simulate: writes a synthetic, reproducible set of Varnosta input tables (sequenced-subject
// phenotypes with covariates, non-sequenced-subject phenotypes, genotypes and a gene-SNP map).
//
// Reproducibility: the same options and seed give the same bytes on every machine. The random
// numbers come from our own generator (xoshiro256**, Blackman & Vigna 2018, seeded through
// splitmix64), normal deviates from the polar form of Box-Muller (Marsaglia & Bray 1964), and
// the logarithm and exponential are our own series, so no library routine whose last bit may
// differ between C libraries touches a printed value (sqrt and frexp/ldexp are exact by IEEE
// 754). Every purpose draws from its own stream, so that e.g. changing the missing-genotype
// fraction leaves the covariates, the trait missingness and the noise as they were.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

const double kMissing = -999.0;
const double kLn2 = 0.6931471805599453094;
// Redraws allowed per variant before --min-mac is declared out of reach.
const int kMaxRedraws = 10000;
// Upper bound of the count options, far above any size the analysis can handle.
const long kMaxCount = 100000000;

// ---------------------------------------------------------------------------------------------
// Random numbers

uint64_t splitmix64(uint64_t &state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

struct Rng {
  uint64_t s[4];
  bool has_spare = false;
  double spare = 0.0;
};

// Stream `id` of a seed: the four state words are consecutive splitmix64 outputs of a start
// value that mixes the seed and the stream number, which never yields the all-zero state.
Rng make_stream(uint64_t seed, uint64_t id) {
  uint64_t x = seed ^ (0xD1B54A32D192ED03ULL * (id + 1));
  Rng r;
  for (uint64_t &w : r.s) {
    w = splitmix64(x);
  }
  return r;
}

uint64_t next_u64(Rng &r) {
  const uint64_t result = rotl(r.s[1] * 5, 7) * 9;
  const uint64_t t = r.s[1] << 17;
  r.s[2] ^= r.s[0];
  r.s[3] ^= r.s[1];
  r.s[1] ^= r.s[2];
  r.s[0] ^= r.s[3];
  r.s[2] ^= t;
  r.s[3] = rotl(r.s[3], 45);
  return result;
}

// Uniform on [0, 1) with 53 random bits.
double uniform(Rng &r) { return static_cast<double>(next_u64(r) >> 11) * 0x1.0p-53; }

// Uniform integer in [0, n), n >= 1.
int uniform_int(Rng &r, int n) {
  int k = static_cast<int>(uniform(r) * n);
  return k < n ? k : n - 1;
}

// Natural logarithm from + - * / only: x = f * 2^e with f in [1/sqrt2, sqrt2), then
// log f = 2 atanh(s), s = (f-1)/(f+1), |s| < 0.172, whose series has converged after 12 terms.
double det_log(double x) {
  int e = 0;
  double f = std::frexp(x, &e);
  if (f < 0.70710678118654752440) {
    f *= 2.0;
    e -= 1;
  }
  const double s = (f - 1.0) / (f + 1.0);
  const double s2 = s * s;
  double term = s, sum = 0.0;
  for (int j = 0; j < 12; ++j) {
    sum += term / (2 * j + 1);
    term *= s2;
  }
  return 2.0 * sum + e * kLn2;
}

// Exponential from + - * /: x = k ln2 + r with |r| <= ln2/2, Taylor series of e^r to 20 terms.
double det_exp(double x) {
  const double k = std::floor(x / kLn2 + 0.5);
  const double r = x - k * kLn2;
  double term = 1.0, sum = 1.0;
  for (int j = 1; j <= 20; ++j) {
    term *= r / j;
    sum += term;
  }
  return std::ldexp(sum, static_cast<int>(k));
}

// Standard normal deviate, polar Box-Muller; the second deviate of a pair is kept.
double normal(Rng &r) {
  if (r.has_spare) {
    r.has_spare = false;
    return r.spare;
  }
  double u, v, s;
  do {
    u = 2.0 * uniform(r) - 1.0;
    v = 2.0 * uniform(r) - 1.0;
    s = u * u + v * v;
  } while (s >= 1.0 || s == 0.0);
  const double factor = std::sqrt(-2.0 * det_log(s) / s);
  r.spare = v * factor;
  r.has_spare = true;
  return u * factor;
}

// The first `count` entries of a random permutation of 0..n-1 (partial Fisher-Yates).
std::vector<int> random_subset(Rng &r, int n, int count) {
  std::vector<int> pool(n);
  for (int i = 0; i < n; ++i) {
    pool[i] = i;
  }
  for (int i = 0; i < count; ++i) {
    const int j = i + uniform_int(r, n - i);
    std::swap(pool[i], pool[j]);
  }
  pool.resize(count);
  return pool;
}

// One stream per purpose.
enum StreamId : uint64_t {
  kLayoutStream = 1,
  kCovariateStream,
  kTraitMissingStream,
  kGenoMissingStream,
  kSeqGenotypeStream,
  kNonseqGenotypeStream,
  kNoiseStream
};

// ---------------------------------------------------------------------------------------------
// Options

struct Options {
  uint64_t seed = 1;
  int m = 200;
  int nonseq = 200;
  int traits = 3;
  int variants = 60;
  int genes = 0;     // 0: not given
  int per_gene = 0;  // 0: not given
  std::vector<int> discrete = {2};
  int continuous = 1;
  double miss_trait = 0.10;
  double miss_geno = 0.01;
  double rare_fraction = 0.5;
  double common_maf[2] = {0.05, 0.45};
  double rare_maf[2] = {0.001, 0.05};
  int n_causal = -1;  // -1: not given, then 5 or every variant when there are fewer
  double effect = 0.5;
  double trait_corr = 0.3;
  int min_mac = 1;
  std::string out;
};

const char kUsage[] =
    "Usage: simulate --out DIR [options]\n"
    "Writes DIR/pheno_seq.tab, DIR/pheno_nonseq.tab, DIR/geno.tab and DIR/map.tab, a synthetic\n"
    "data set for varnosta. The same options and seed always give the same bytes.\n"
    "\n"
    "Options (defaults in brackets):\n"
    "  --out DIR            output directory, created when absent (required)\n"
    "  --seed S             seed, an unsigned 64-bit integer [1]\n"
    "  --m M                sequenced subjects [200]\n"
    "  --nonseq N           non-sequenced subjects, at least 1 [200]\n"
    "  --traits K           traits [3]\n"
    "  --variants V         variants in the genotype table [60]\n"
    "  --genes G            genes; the variants are cut into G runs of random length\n"
    "                       [V/5 rounded up]\n"
    "  --per-gene P         instead of --genes: P variants per gene (the last gene takes the\n"
    "                       rest)\n"
    "  --discrete L1,L2,..  one discrete covariate per entry, coded 0..L-1, L >= 2; 'none'\n"
    "                       for no discrete covariate [2]\n"
    "  --continuous C       standard normal covariates [1]\n"
    "  --miss-trait F       expected fraction of missing trait values, in [0,1): some subjects\n"
    "                       miss every trait, others one to K-1 traits, most none [0.1]\n"
    "  --miss-geno F        fraction of missing genotypes, in [0,1) [0.01]\n"
    "  --rare-fraction F    fraction of variants drawn from the rare range, in [0,1] [0.5]\n"
    "  --common-maf A,B     minor-allele frequency range of common variants, uniform\n"
    "                       [0.05,0.45]\n"
    "  --rare-maf A,B       frequency range of rare variants, log-uniform [0.001,0.05]\n"
    "  --effects N,BETA     N causal variants (chosen at random), each adding BETA per minor\n"
    "                       allele to a random non-empty subset of the traits [5,0.5]\n"
    "  --trait-corr RHO     exchangeable residual correlation of the traits [0.3]\n"
    "  --min-mac N          redraw a variant's sequenced genotypes until, for every trait, at\n"
    "                       least N genotyped subjects with that trait observed carry the minor\n"
    "                       allele and at least N do not; 0 turns this off [1]\n"
    "  --help               print this message\n"
    "\n"
    "Model: covariates and genotypes (Hardy-Weinberg, true frequency drawn per variant) are\n"
    "drawn for every subject; trait k = intercept + covariate effects + genetic effects + noise,\n"
    "the noise multivariate normal with unit variances and correlation RHO. The genotypes of\n"
    "the non-sequenced subjects only shape their traits and are not written. The map's third\n"
    "column is the sample minor-allele frequency among the genotyped sequenced subjects (the\n"
    "true frequency for a variant without carriers). Missing values are -999.\n";

[[noreturn]] void fail(const std::string &message) {
  std::fprintf(stderr, "Error: %s\n", message.c_str());
  std::exit(1);
}

long parse_long(const std::string &flag, const std::string &text, long lo, long hi) {
  errno = 0;
  char *end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) {
    fail(flag + " expects an integer in [" + std::to_string(lo) + ", " + std::to_string(hi) +
         "], got '" + text + "'");
  }
  return v;
}

double parse_double(const std::string &flag, const std::string &text) {
  errno = 0;
  char *end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v)) {
    fail(flag + " expects a number, got '" + text + "'");
  }
  return v;
}

double parse_fraction(const std::string &flag, const std::string &text, bool one_allowed) {
  const double v = parse_double(flag, text);
  if (v < 0.0 || v > 1.0 || (!one_allowed && v == 1.0)) {
    fail(flag + " expects a fraction in [0, 1" + (one_allowed ? "]" : ")") + ", got '" + text +
         "'");
  }
  return v;
}

std::vector<std::string> split_commas(const std::string &text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) {
      return parts;
    }
    start = comma + 1;
  }
}

void parse_maf_range(const std::string &flag, const std::string &text, double range[2]) {
  const std::vector<std::string> parts = split_commas(text);
  if (parts.size() != 2) {
    fail(flag + " expects two frequencies A,B, got '" + text + "'");
  }
  range[0] = parse_double(flag, parts[0]);
  range[1] = parse_double(flag, parts[1]);
  if (!(range[0] > 0.0 && range[0] <= range[1] && range[1] <= 0.5)) {
    fail(flag + " expects 0 < A <= B <= 0.5, got '" + text + "'");
  }
}

void parse_discrete(const std::string &text, std::vector<int> &levels) {
  levels.clear();
  if (text == "none") {
    return;
  }
  for (const std::string &part : split_commas(text)) {
    levels.push_back(static_cast<int>(parse_long("--discrete", part, 2, 1000)));
  }
}

void parse_effects(const std::string &text, Options &o) {
  const std::vector<std::string> parts = split_commas(text);
  if (parts.size() == 1 && parts[0] == "0") {
    o.n_causal = 0;
    return;
  }
  if (parts.size() != 2) {
    fail("--effects expects N,BETA (or 0), got '" + text + "'");
  }
  o.n_causal = static_cast<int>(parse_long("--effects", parts[0], 0, kMaxCount));
  o.effect = parse_double("--effects", parts[1]);
}

// Option table: name and the effect of its value.
struct OptionRule {
  const char *name;
  void (*apply)(Options &, const std::string &flag, const std::string &value);
};

// clang-format off
const OptionRule kRules[] = {
  {"--out", [](Options &o, const std::string &, const std::string &v) { o.out = v; }},
  {"--seed", [](Options &o, const std::string &f, const std::string &v) {
     errno = 0;
     char *end = nullptr;
     o.seed = std::strtoull(v.c_str(), &end, 10);
     if (v.empty() || !std::isdigit(static_cast<unsigned char>(v[0])) || *end != '\0' ||
         errno != 0) {
       fail(f + " expects an unsigned 64-bit integer, got '" + v + "'");
     }
   }},
  {"--m", [](Options &o, const std::string &f, const std::string &v) {
     o.m = static_cast<int>(parse_long(f, v, 1, kMaxCount)); }},
  {"--nonseq", [](Options &o, const std::string &f, const std::string &v) {
     o.nonseq = static_cast<int>(parse_long(f, v, 1, kMaxCount)); }},
  {"--traits", [](Options &o, const std::string &f, const std::string &v) {
     o.traits = static_cast<int>(parse_long(f, v, 1, 1000)); }},
  {"--variants", [](Options &o, const std::string &f, const std::string &v) {
     o.variants = static_cast<int>(parse_long(f, v, 1, kMaxCount)); }},
  {"--genes", [](Options &o, const std::string &f, const std::string &v) {
     o.genes = static_cast<int>(parse_long(f, v, 1, kMaxCount)); }},
  {"--per-gene", [](Options &o, const std::string &f, const std::string &v) {
     o.per_gene = static_cast<int>(parse_long(f, v, 1, kMaxCount)); }},
  {"--discrete", [](Options &o, const std::string &, const std::string &v) {
     parse_discrete(v, o.discrete); }},
  {"--continuous", [](Options &o, const std::string &f, const std::string &v) {
     o.continuous = static_cast<int>(parse_long(f, v, 0, 1000)); }},
  {"--miss-trait", [](Options &o, const std::string &f, const std::string &v) {
     o.miss_trait = parse_fraction(f, v, false); }},
  {"--miss-geno", [](Options &o, const std::string &f, const std::string &v) {
     o.miss_geno = parse_fraction(f, v, false); }},
  {"--rare-fraction", [](Options &o, const std::string &f, const std::string &v) {
     o.rare_fraction = parse_fraction(f, v, true); }},
  {"--common-maf", [](Options &o, const std::string &f, const std::string &v) {
     parse_maf_range(f, v, o.common_maf); }},
  {"--rare-maf", [](Options &o, const std::string &f, const std::string &v) {
     parse_maf_range(f, v, o.rare_maf); }},
  {"--effects", [](Options &o, const std::string &, const std::string &v) {
     parse_effects(v, o); }},
  {"--trait-corr", [](Options &o, const std::string &f, const std::string &v) {
     o.trait_corr = parse_double(f, v); }},
  {"--min-mac", [](Options &o, const std::string &f, const std::string &v) {
     o.min_mac = static_cast<int>(parse_long(f, v, 0, kMaxCount)); }},
};
// clang-format on

// Checks that concern several options at once.
void check_options(const Options &o) {
  if (o.out.empty()) {
    fail("missing --out DIR (see --help)");
  }
  if (o.genes > 0 && o.per_gene > 0) {
    fail("give --genes or --per-gene, not both");
  }
  if (o.genes > o.variants) {
    fail("--genes " + std::to_string(o.genes) + " exceeds --variants " +
         std::to_string(o.variants) + " (every gene needs a variant)");
  }
  if (o.n_causal > o.variants) {
    fail("--effects asks for " + std::to_string(o.n_causal) + " causal variants but there are " +
         std::to_string(o.variants));
  }
  if (o.traits > 1 && !(o.trait_corr > -1.0 / (o.traits - 1) && o.trait_corr < 1.0)) {
    fail("--trait-corr must lie in (-1/(K-1), 1) for a positive definite correlation, got " +
         std::to_string(o.trait_corr));
  }
  if (2L * o.min_mac > o.m) {
    fail("--min-mac " + std::to_string(o.min_mac) + " needs at least " +
         std::to_string(2 * o.min_mac) + " sequenced subjects");
  }
}

Options parse_options(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i], value;
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    const size_t eq = flag.find('=');
    const bool inline_value = flag.compare(0, 2, "--") == 0 && eq != std::string::npos;
    if (inline_value) {
      value = flag.substr(eq + 1);
      flag.resize(eq);
    }
    const OptionRule *rule = nullptr;
    for (const OptionRule &r : kRules) {
      if (flag == r.name) {
        rule = &r;
      }
    }
    if (rule == nullptr) {
      fail("unknown option '" + flag + "' (see --help)");
    }
    if (!inline_value) {
      if (i + 1 >= argc) {
        fail(flag + " needs a value");
      }
      value = argv[++i];
    }
    rule->apply(o, flag, value);
  }
  if (o.n_causal < 0) {
    o.n_causal = std::min(5, o.variants);
  }
  check_options(o);
  return o;
}

// ---------------------------------------------------------------------------------------------
// Study layout: genes, variant identifiers, true frequencies, causal variants, fixed effects

struct Layout {
  std::vector<std::string> gene_of;        // per variant
  std::vector<std::string> variant_id;     // per variant
  std::vector<double> true_maf;            // per variant
  std::vector<int> causal;                 // variant indices, ascending
  std::vector<std::vector<double>> beta;   // per causal variant, per trait
  std::vector<double> intercept;           // per trait
  std::vector<std::vector<double>> gamma;  // per trait, per covariate column
  int n_genes = 0;
};

std::vector<int> gene_sizes(const Options &o, Rng &r) {
  std::vector<int> sizes;
  if (o.per_gene > 0) {
    for (int left = o.variants; left > 0; left -= o.per_gene) {
      sizes.push_back(left < o.per_gene ? left : o.per_gene);
    }
    return sizes;
  }
  const int g = o.genes > 0 ? o.genes : (o.variants + 4) / 5;
  // G-1 distinct cut points among the V-1 gaps between consecutive variants.
  std::vector<int> cuts = random_subset(r, o.variants - 1, g - 1);
  std::vector<bool> is_cut(o.variants, false);
  for (int c : cuts) {
    is_cut[c + 1] = true;
  }
  int run = 0;
  for (int v = 0; v < o.variants; ++v) {
    if (is_cut[v]) {
      sizes.push_back(run);
      run = 0;
    }
    ++run;
  }
  sizes.push_back(run);
  return sizes;
}

// Genes spread over the 22 autosomes in order; positions grow within a chromosome, so the
// chr:pos identifiers are unique.
void place_variants(const std::vector<int> &sizes, Rng &r, Layout &lay) {
  const int g_count = static_cast<int>(sizes.size());
  const int width = g_count < 100 ? 2 : static_cast<int>(std::to_string(g_count).size());
  int chrom = 0;
  long pos = 0;
  for (int g = 0; g < g_count; ++g) {
    const int c = 1 + static_cast<int>(static_cast<long>(g) * 22 / g_count);
    if (c != chrom) {
      chrom = c;
      pos = 1000000 + uniform_int(r, 1000000);
    }
    pos += 50000 + uniform_int(r, 450000);
    char name[32];
    std::snprintf(name, sizeof name, "GENE%0*d", width, g + 1);
    for (int j = 0; j < sizes[g]; ++j) {
      pos += 1 + uniform_int(r, 2000);
      lay.gene_of.push_back(name);
      lay.variant_id.push_back(std::to_string(chrom) + ":" + std::to_string(pos));
    }
  }
  lay.n_genes = g_count;
}

void draw_frequencies(const Options &o, Rng &r, Layout &lay) {
  const double log_lo = det_log(o.rare_maf[0]), log_hi = det_log(o.rare_maf[1]);
  for (int v = 0; v < o.variants; ++v) {
    const bool rare = uniform(r) < o.rare_fraction;
    const double u = uniform(r);
    lay.true_maf.push_back(rare ? det_exp(log_lo + u * (log_hi - log_lo))
                                : o.common_maf[0] + u * (o.common_maf[1] - o.common_maf[0]));
  }
}

// Each causal variant acts on every trait with probability 1/2, and on at least one.
void draw_effects(const Options &o, Rng &r, Layout &lay) {
  lay.causal = random_subset(r, o.variants, o.n_causal);
  std::sort(lay.causal.begin(), lay.causal.end());
  for (int c = 0; c < o.n_causal; ++c) {
    std::vector<double> b(o.traits, 0.0);
    bool any = false;
    for (int k = 0; k < o.traits; ++k) {
      if (uniform(r) < 0.5) {
        b[k] = o.effect;
        any = true;
      }
    }
    if (!any) {
      b[uniform_int(r, o.traits)] = o.effect;
    }
    lay.beta.push_back(b);
  }
  const int n_cov = static_cast<int>(o.discrete.size()) + o.continuous;
  for (int k = 0; k < o.traits; ++k) {
    lay.intercept.push_back(2.0 * uniform(r) - 1.0);
    std::vector<double> g(n_cov);
    for (double &x : g) {
      x = uniform(r) - 0.5;
    }
    lay.gamma.push_back(g);
  }
}

Layout make_layout(const Options &o) {
  Rng r = make_stream(o.seed, kLayoutStream);
  Layout lay;
  place_variants(gene_sizes(o, r), r, lay);
  draw_frequencies(o, r, lay);
  draw_effects(o, r, lay);
  return lay;
}

// ---------------------------------------------------------------------------------------------
// Subjects: covariates, trait missingness, genotypes of the causal variants, traits

struct Subjects {
  int n = 0;                                          // all subjects, sequenced first
  std::vector<std::vector<double>> cov;               // per subject, per covariate column
  std::vector<std::vector<char>> miss;                // per subject, per trait: 1 when missing
  std::vector<std::vector<signed char>> causal_geno;  // per causal variant, per subject
  std::vector<std::vector<double>> y;                 // per subject, per trait
};

void draw_covariates(const Options &o, Subjects &s) {
  Rng r = make_stream(o.seed, kCovariateStream);
  s.cov.assign(s.n, {});
  for (int i = 0; i < s.n; ++i) {
    for (int levels : o.discrete) {
      s.cov[i].push_back(uniform_int(r, levels));
    }
    for (int c = 0; c < o.continuous; ++c) {
      s.cov[i].push_back(normal(r));
    }
  }
}

// Three kinds of subjects: every trait missing (probability a), one to K-1 traits missing
// (probability b, count uniform, so K/2 traits on average), complete. The all-missing kind
// carries a quarter of the expected missing values, or more when the partial kind alone
// cannot reach the fraction F: a + b K/2 / K = F.
void draw_trait_missingness(const Options &o, Subjects &s) {
  Rng r = make_stream(o.seed, kTraitMissingStream);
  const int k_traits = o.traits;
  const double f = o.miss_trait;
  double a = f, b = 0.0;
  if (k_traits > 1) {
    a = std::max(f / 4.0, 2.0 * f - 1.0);
    b = (f - a) / 0.5;
  }
  s.miss.assign(s.n, std::vector<char>(k_traits, 0));
  for (int i = 0; i < s.n; ++i) {
    const double u = uniform(r);
    if (u < a) {
      std::fill(s.miss[i].begin(), s.miss[i].end(), 1);
    } else if (u < a + b) {
      const int count = 1 + uniform_int(r, k_traits - 1);
      for (int k : random_subset(r, k_traits, count)) {
        s.miss[i][k] = 1;
      }
    }
  }
}

int draw_genotype(Rng &r, double maf) { return (uniform(r) < maf) + (uniform(r) < maf); }

// The trait model: intercept + covariate effects + genetic effects + correlated noise.
void draw_traits(const Options &o, const Layout &lay, Subjects &s) {
  const int k_traits = o.traits;
  // Cholesky factor of the exchangeable correlation matrix.
  std::vector<std::vector<double>> chol(k_traits, std::vector<double>(k_traits, 0.0));
  for (int i = 0; i < k_traits; ++i) {
    for (int j = 0; j <= i; ++j) {
      double sum = (i == j) ? 1.0 : o.trait_corr;
      for (int l = 0; l < j; ++l) {
        sum -= chol[i][l] * chol[j][l];
      }
      chol[i][j] = (i == j) ? std::sqrt(sum) : sum / chol[j][j];
    }
  }
  Rng r = make_stream(o.seed, kNoiseStream);
  std::vector<double> z(k_traits);
  s.y.assign(s.n, std::vector<double>(k_traits, 0.0));
  for (int i = 0; i < s.n; ++i) {
    for (double &x : z) {
      x = normal(r);
    }
    for (int k = 0; k < k_traits; ++k) {
      double y = lay.intercept[k];
      for (size_t c = 0; c < s.cov[i].size(); ++c) {
        y += lay.gamma[k][c] * s.cov[i][c];
      }
      for (size_t c = 0; c < lay.causal.size(); ++c) {
        y += lay.beta[c][k] * s.causal_geno[c][i];
      }
      for (int l = 0; l <= k; ++l) {
        y += chol[k][l] * z[l];
      }
      s.y[i][k] = s.miss[i][k] ? kMissing : y;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Output

FILE *open_output(const std::string &dir, const char *name) {
  const std::string path = dir + "/" + name;
  FILE *f = std::fopen(path.c_str(), "w");
  if (f == nullptr) {
    fail("cannot write " + path + ": " + std::strerror(errno));
  }
  return f;
}

void close_output(FILE *f, const std::string &dir, const char *name) {
  if (std::ferror(f) || std::fclose(f) != 0) {
    fail("error while writing " + dir + "/" + name);
  }
}

// Fixed-point number; a value that rounds to zero is written without a minus sign.
void append_fixed(std::string &line, double x, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
  const char *text = buf;
  if (buf[0] == '-' && std::strspn(buf + 1, "0.") == std::strlen(buf + 1)) {
    ++text;
  }
  line += text;
}

void append_trait(std::string &line, double y) {
  if (y == kMissing) {
    line += "-999";
  } else {
    append_fixed(line, y, 4);
  }
}

void write_phenotypes(const Options &o, const Subjects &s) {
  std::string line;
  FILE *f = open_output(o.out, "pheno_seq.tab");
  for (int k = 0; k < o.traits; ++k) {
    line += (k ? "\tTRAIT" : "TRAIT") + std::to_string(k + 1);
  }
  for (size_t c = 0; c < o.discrete.size(); ++c) {
    line += "\tDISC" + std::to_string(c + 1);
  }
  for (int c = 0; c < o.continuous; ++c) {
    line += "\tCONT" + std::to_string(c + 1);
  }
  line += '\n';
  std::fputs(line.c_str(), f);
  const size_t n_disc = o.discrete.size();
  for (int i = 0; i < o.m; ++i) {
    line.clear();
    for (int k = 0; k < o.traits; ++k) {
      if (k) {
        line += '\t';
      }
      append_trait(line, s.y[i][k]);
    }
    for (size_t c = 0; c < s.cov[i].size(); ++c) {
      line += '\t';
      if (c < n_disc) {
        line += std::to_string(static_cast<int>(s.cov[i][c]));
      } else {
        append_fixed(line, s.cov[i][c], 4);
      }
    }
    line += '\n';
    std::fputs(line.c_str(), f);
  }
  close_output(f, o.out, "pheno_seq.tab");

  f = open_output(o.out, "pheno_nonseq.tab");
  for (int i = o.m; i < s.n; ++i) {
    line.clear();
    for (int k = 0; k < o.traits; ++k) {
      if (k) {
        line += '\t';
      }
      append_trait(line, s.y[i][k]);
    }
    line += '\n';
    std::fputs(line.c_str(), f);
  }
  close_output(f, o.out, "pheno_nonseq.tab");
}

// Whether a draw meets --min-mac: for every trait, enough carriers and enough non-carriers
// among the genotyped sequenced subjects with that trait observed. This keeps a variant's
// single-trait least-squares fits estimable.
bool enough_carriers(const Options &o, const Subjects &s, const std::vector<int> &g,
                     const std::vector<char> &g_missing) {
  if (o.min_mac == 0) {
    return true;
  }
  for (int k = 0; k < o.traits; ++k) {
    int carriers = 0, others = 0;
    for (int i = 0; i < o.m; ++i) {
      if (!g_missing[i] && !s.miss[i][k]) {
        (g[i] > 0 ? carriers : others) += 1;
      }
    }
    if (carriers < o.min_mac || others < o.min_mac) {
      return false;
    }
  }
  return true;
}

struct GenotypeSummary {
  std::vector<double> map_maf;  // per variant
  long n_missing = 0;           // missing genotypes written
};

// Sample minor-allele frequency among the genotyped subjects; the true frequency when the
// sample has no minor allele (a map frequency must be positive to be used).
double map_frequency(const std::vector<int> &g, const std::vector<char> &g_missing,
                     double true_maf) {
  long alleles = 0, typed = 0;
  for (size_t i = 0; i < g.size(); ++i) {
    if (!g_missing[i]) {
      alleles += g[i];
      typed += 2;
    }
  }
  if (alleles == 0 || alleles == typed) {
    return true_maf;
  }
  const double f = static_cast<double>(alleles) / typed;
  return f <= 0.5 ? f : 1.0 - f;
}

// Writes geno.tab one variant at a time and keeps the genotypes of the causal variants for
// the trait model (the true genotypes, also where the written value is missing).
GenotypeSummary write_genotypes(const Options &o, const Layout &lay, Subjects &s) {
  Rng r_miss = make_stream(o.seed, kGenoMissingStream);
  Rng r_seq = make_stream(o.seed, kSeqGenotypeStream);
  Rng r_nonseq = make_stream(o.seed, kNonseqGenotypeStream);
  GenotypeSummary sum;
  std::vector<int> g(o.m);
  std::vector<char> g_missing(o.m);
  std::string line;
  size_t next_causal = 0;
  FILE *f = open_output(o.out, "geno.tab");
  for (int v = 0; v < o.variants; ++v) {
    const double maf = lay.true_maf[v];
    for (int i = 0; i < o.m; ++i) {
      g_missing[i] = uniform(r_miss) < o.miss_geno;
    }
    int draws = 0;
    do {
      if (++draws > kMaxRedraws) {
        fail("variant " + lay.variant_id[v] + " (frequency " + std::to_string(maf) +
             ") did not reach --min-mac " + std::to_string(o.min_mac) + " in " +
             std::to_string(kMaxRedraws) + " draws; raise the --rare-maf lower bound or lower " +
             "--min-mac");
      }
      for (int i = 0; i < o.m; ++i) {
        g[i] = draw_genotype(r_seq, maf);
      }
    } while (!enough_carriers(o, s, g, g_missing));

    line = lay.variant_id[v];
    for (int i = 0; i < o.m; ++i) {
      line += g_missing[i] ? "\t-999" : (g[i] == 0 ? "\t0" : (g[i] == 1 ? "\t1" : "\t2"));
      sum.n_missing += g_missing[i];
    }
    line += '\n';
    std::fputs(line.c_str(), f);
    sum.map_maf.push_back(map_frequency(g, g_missing, maf));

    if (next_causal < lay.causal.size() && lay.causal[next_causal] == v) {
      std::vector<signed char> all(s.n);
      for (int i = 0; i < s.n; ++i) {
        all[i] = static_cast<signed char>(i < o.m ? g[i] : draw_genotype(r_nonseq, maf));
      }
      s.causal_geno.push_back(all);
      ++next_causal;
    }
  }
  close_output(f, o.out, "geno.tab");
  return sum;
}

// Six decimals keep a frequency of one allele in 500000 subjects positive.
void write_map(const Options &o, const Layout &lay, const GenotypeSummary &gs) {
  FILE *f = open_output(o.out, "map.tab");
  for (int v = 0; v < o.variants; ++v) {
    const double maf = gs.map_maf[v] < 1e-6 ? 1e-6 : gs.map_maf[v];
    std::fprintf(f, "%s\t%s\t%.6f\n", lay.gene_of[v].c_str(), lay.variant_id[v].c_str(), maf);
  }
  close_output(f, o.out, "map.tab");
}

// The causal variants with the traits they act on; long lists are cut after 20 variants.
void print_causal(const Options &o, const Layout &lay) {
  if (lay.causal.empty()) {
    return;
  }
  std::printf("  causal variants (effect %g per minor allele on the traits listed):", o.effect);
  for (size_t c = 0; c < lay.causal.size() && c < 20; ++c) {
    std::printf(" %s[", lay.variant_id[lay.causal[c]].c_str());
    const char *sep = "";
    for (int k = 0; k < o.traits; ++k) {
      if (lay.beta[c][k] != 0.0) {
        std::printf("%s%d", sep, k + 1);
        sep = ",";
      }
    }
    std::printf("]");
  }
  std::printf("%s\n", lay.causal.size() > 20 ? " ..." : "");
}

void print_summary(const Options &o, const Layout &lay, const Subjects &s,
                   const GenotypeSummary &gs) {
  long miss_seq = 0, miss_non = 0, all_missing = 0, partial = 0;
  for (int i = 0; i < s.n; ++i) {
    int count = 0;
    for (char x : s.miss[i]) {
      count += x;
    }
    (i < o.m ? miss_seq : miss_non) += count;
    all_missing += (count == o.traits);
    partial += (count > 0 && count < o.traits);
  }
  int rare1 = 0, rare5 = 0;
  for (double f : gs.map_maf) {
    rare1 += (f <= 0.01);
    rare5 += (f <= 0.05);
  }
  std::printf("Wrote %s/{pheno_seq,pheno_nonseq,geno,map}.tab (seed %llu)\n", o.out.c_str(),
              static_cast<unsigned long long>(o.seed));
  std::printf("  subjects: %d sequenced, %d non-sequenced; %d traits; %zu covariates\n", o.m,
              o.nonseq, o.traits, o.discrete.size() + o.continuous);
  std::printf("  variants: %d in %d genes; map MAF <= 0.01: %d, <= 0.05: %d; causal: %zu\n",
              o.variants, lay.n_genes, rare1, rare5, lay.causal.size());
  std::printf(
      "  missing trait values: %.4f of sequenced, %.4f of non-sequenced; subjects missing "
      "every trait: %ld, some traits: %ld, none: %ld\n",
      static_cast<double>(miss_seq) / (static_cast<double>(o.m) * o.traits),
      static_cast<double>(miss_non) / (static_cast<double>(o.nonseq) * o.traits), all_missing,
      partial, s.n - all_missing - partial);
  print_causal(o, lay);
  std::printf("  missing genotypes: %ld (%.4f)\n", gs.n_missing,
              static_cast<double>(gs.n_missing) / (static_cast<double>(o.m) * o.variants));
}

}  // namespace

int main(int argc, char **argv) {
  const Options o = parse_options(argc, argv);
  std::error_code ec;
  std::filesystem::create_directories(o.out, ec);
  if (ec) {
    fail("cannot create directory " + o.out + ": " + ec.message());
  }
  const Layout lay = make_layout(o);
  Subjects s;
  s.n = o.m + o.nonseq;
  draw_covariates(o, s);
  draw_trait_missingness(o, s);
  const GenotypeSummary gs = write_genotypes(o, lay, s);
  draw_traits(o, lay, s);
  write_phenotypes(o, s);
  write_map(o, lay, gs);
  print_summary(o, lay, s, gs);
  return 0;
}
