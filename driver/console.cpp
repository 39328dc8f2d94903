#include "driver/console.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>

#include "driver/gene_blocks.h"
#include "driver/globals.h"
#include "toolkit/func_data_process.h"

void print_banner() {
  // Six lines of 61 characters; the bars of line 2 stand at columns 1, 20, 32 and 61.
  std::puts("@-----------------------------------------------------------@");
  std::puts("|     Varnosta     |    v1.0   |      06/December/2026      |");
  std::puts("-------------------------------------------------------------");
  std::puts("|               For documentation & citation                |");
  std::puts("|   see README.md in the Varnosta source distribution       |");
  std::puts("@-----------------------------------------------------------@\n");
}

void print_stamp(const char *what) {
  now = time(nullptr);
  std::cout << "Varnosta " << what << " at " << asctime(localtime(&now)) << std::endl;
}

void set_defaults() {
  out_test = const_cast<char *>("mle.tab");
  out_naive = const_cast<char *>("naive.tab");
  out_warn = const_cast<char *>("warning.txt");
  pheno_seq = const_cast<char *>("pheno_seq.tab");
  pheno_nonseq = const_cast<char *>("pheno_nonseq.tab");
  geno = const_cast<char *>("geno.tab");
  flag_scale = false;
  MAC_LB = 0;
  map_file = const_cast<char *>("map.tab");
  flag_skat = flag_t1 = flag_t5 = flag_mb = false;
  analysis_mode = 0;
  genetic_model = 0;
  TRAIT = 1;
  MAF_LB = 0.0;
  MAF_UB = 0.05;
  MAF_T5 = 0.05;
  SNP_MAC_LB = 0;
}

namespace {

// Numeric values convert as strtol (base 10, clamped to the int range) and strtod do, a text
// that is not wholly a number included ("3x" is 3, "x" is 0). Such a value, or one out of range,
// is probably a typing slip (a decimal comma, an exponent in an integer), so the user is told
// what was taken. Leading blanks, which the conversion skips, change nothing and pass silently.
// Clamping rather than narrowing keeps a huge bound huge: 3000000000 carriers would otherwise
// wrap to a negative bound that every variant passes.
bool converted_whole(const char *value, const char *end) {
  while (std::isspace(static_cast<unsigned char>(*value))) {
    value++;
  }
  return end != value && *end == '\0' && errno != ERANGE;
}

void warn_read_as(const char *option, const char *value, const std::string &taken) {
  std::cerr << "Warning: " << option << " " << value << " is read as " << taken << std::endl;
}

int to_int(const char *option, const char *value) {
  char *end = nullptr;
  errno = 0;
  const long read = std::strtol(value, &end, 10);
  const int taken = static_cast<int>(
      std::clamp<long>(read, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
  if (!converted_whole(value, end) || taken != read) {
    warn_read_as(option, value, std::to_string(taken));
  }
  return taken;
}

double to_real(const char *option, const char *value) {
  char *end = nullptr;
  errno = 0;
  const double taken = std::strtod(value, &end);
  // Every comparison with NaN is false, so a NaN bound would silently filter nothing.
  if (std::isnan(taken)) {
    std::cerr << "Error: Value " << value << " of command line option " << option
              << " is not a number" << std::endl;
    kill_program();
  }
  if (!converted_whole(value, end)) {
    std::ostringstream text;  // the form of the settings messages
    text << taken;
    warn_read_as(option, value, text.str());
  }
  return taken;
}

void set_model(char *value) {
  if (std::strcmp(value, "Additive") == 0) {
    genetic_model = 0;
  } else if (std::strcmp(value, "Dominant") == 0) {
    genetic_model = 1;
  } else {
    std::cerr << "Error: Unknown option in -MODEL!" << std::endl;
    kill_program();
  }
}

// One row per option, in the order in which names are compared: the name, whether it takes
// the next argument as its value, and what it does with it (value is null for a flag).
struct Option {
  const char *name;
  bool takes_value;
  void (*apply)(char *value);
};

// clang-format off
const Option kOptions[] = {
    {"-PHENO_SEQ", true, [](char *v) { pheno_seq = v; }},
    {"-PHENO_NONSEQ", true, [](char *v) { pheno_nonseq = v; }},
    {"-GENO", true, [](char *v) { geno = v; }},
    {"-MAP", true, [](char *v) { map_file = v; }},
    {"-OUT_MLE", true, [](char *v) { out_test = v; }},
    {"-OUT_NAIVE", true, [](char *v) { out_naive = v; }},
    {"-OUT_WARN", true, [](char *v) { out_warn = v; }},
    {"-MAC_LB", true, [](char *v) { MAC_LB = to_int("-MAC_LB", v); }},
    {"-MAF_LB", true, [](char *v) { MAF_LB = to_real("-MAF_LB", v); }},
    {"-MAF_UB", true, [](char *v) { MAF_UB = to_real("-MAF_UB", v); }},
    {"-SNP_MAC_LB", true, [](char *v) { SNP_MAC_LB = to_int("-SNP_MAC_LB", v); }},
    {"-SCALE", false, [](char *) { flag_scale = true; }},
    {"-COM", false, [](char *) { analysis_mode = 0; }},
    {"-COM_SCORE", false, [](char *) { analysis_mode = 1; }},
    {"-TRAIT", true, [](char *v) { TRAIT = to_int("-TRAIT", v); }},
    {"-MODEL", true, set_model},
    {"-RARE_ALL", false, [](char *) { analysis_mode = 3; }},
    {"-RARE_ONETRAIT", false, [](char *) { analysis_mode = 2; }},
    {"-SKAT", true, [](char *v) { flag_skat = true; out_skat = v; out_naive_skat = std::string("naive_") + v; }},
    {"-T1", true, [](char *v) { flag_t1 = true; out_t1 = v; }},
    {"-T5", true, [](char *v) { flag_t5 = true; out_t5 = v; }},
    {"-MB", true, [](char *v) { flag_mb = true; out_mb = v; }},
};
// clang-format on

}  // namespace

void parse_options(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    const Option *option = nullptr;
    for (const Option &candidate : kOptions) {
      if (std::strcmp(argv[i], candidate.name) == 0) {
        option = &candidate;
        break;
      }
    }
    if (option == nullptr) {
      std::cout << "Error: Unknown command line option " << argv[i] << std::endl;
      kill_program();
    }
    if (!option->takes_value) {
      option->apply(nullptr);
      continue;
    }
    if (i + 1 >= argc) {
      std::cerr << "Error: Missing value for command line option " << argv[i] << std::endl;
      kill_program();
    }
    option->apply(argv[++i]);
  }
}

namespace {

void print_single_variant_settings() {
  std::cout << "The results for the MLE method will be stored in " << out_test << std::endl;
  std::cout << "The results for the Naive method will be stored in " << out_naive << std::endl;
  std::cout << "The warning file is set to be " << out_warn << std::endl;
  std::cout << "The MAF lower bound is set to be " << MAF_LB << std::endl;
  std::cout << "The MAC lower bound is set to be " << MAC_LB << std::endl;
}

void print_gene_settings() {
  std::cout << "The gene-SNP map file is set to be " << map_file << std::endl;
  std::cout << "The results for the MLE method will be stored in " << out_test << std::endl;
  std::cout << "The warning file is set to be " << out_warn << std::endl;
  std::cout << "The MAF upper bound (for SKAT and MB tests) is set to be " << MAF_UB << std::endl;
  std::cout << "The genetic model is set to be " << (genetic_model == 0 ? "Additive" : "Dominant")
            << std::endl;
  // The test lines in their own fixed order, whatever the order on the command line.
  for (int rank = 0; rank < kGeneTestCount; ++rank) {
    for (const GeneTest &test : kGeneTests) {
      if (test.echo_order != rank || !*test.selected)
        continue;
      std::cout << test.name << " tests will be performed" << std::endl;
      std::cout << "The " << test.name << " output file is set to be " << *test.file << std::endl;
    }
  }
}

}  // namespace

void print_settings() {
  std::cout << std::endl;
  std::cout << "The phenotype file for sequenced subjects is set to be " << pheno_seq << std::endl;
  std::cout << "The phenotype file for the non-sequenced subjects is set to be " << pheno_nonseq
            << std::endl;
  std::cout << "The genotype file is set to be " << geno << std::endl;
  if (flag_scale)
    std::cout << "All continuous covariates will be scaled to have zero means and unit variances"
              << std::endl;
  std::cout << std::endl;

  std::cout << std::endl;
  switch (analysis_mode) {
    case 0:
      std::cout << "Single variant analysis using Wald tests will be performed" << std::endl;
      print_single_variant_settings();
      break;
    case 1:
      std::cout << "Single variant analysis using score tests will be performed" << std::endl;
      std::cout << "Trait " << TRAIT << " is being tested" << std::endl;
      print_single_variant_settings();
      break;
    case 2:
      std::cout << "Gene-based rare variant analysis for the genetic effects on trait " << TRAIT
                << " using score tests will be performed" << std::endl;
      print_gene_settings();
      break;
    default:
      std::cout << "Gene-based rare variant analysis for the global genetic effects on all traits "
                   "using score tests will be performed"
                << std::endl;
      print_gene_settings();
      break;
  }
  std::cout << std::endl;
}
