#include "driver/file_checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "driver/gene_blocks.h"
#include "driver/globals.h"
#include "toolkit/func_data_process.h"

namespace {

// A file of the run: the option that names it, its path, and for an output the message with
// which the analysis reports that it cannot open it (the path follows the message directly).
struct RunFile {
  std::string option;
  std::string path;
  const char *open_error;
};

[[noreturn]] void stop(const std::string &message) {
  std::cerr << message << std::endl;
  kill_program();
}

bool gene_tests_selected() {
  return (analysis_mode == 2 || analysis_mode == 3) && any_gene_test_selected();
}

// The tables the analysis reads, in the order in which it reads them.
std::vector<RunFile> input_files() {
  std::vector<RunFile> files = {{"-PHENO_NONSEQ", pheno_nonseq, nullptr},
                                {"-PHENO_SEQ", pheno_seq, nullptr},
                                {"-GENO", geno, nullptr}};
  // The map is read only by a gene-based analysis that runs a test.
  if (gene_tests_selected()) {
    files.push_back({"-MAP", map_file, nullptr});
  }
  return files;
}

// The files the analysis writes, in the order in which it opens them.
std::vector<RunFile> output_files() {
  if (analysis_mode == 0 || analysis_mode == 1) {
    return {{"-OUT_NAIVE", out_naive, "Error: Cannot opne naive results file"},
            {"-OUT_MLE", out_test, "Error: Cannot open mle results file "},
            {"-OUT_WARN", out_warn, "Error: Cannot open warning file "}};
  }
  std::vector<RunFile> files;
  if (!gene_tests_selected()) {
    return files;  // no test, no output
  }
  const char *variant_error = "Error: Cannot open variant level results file ";
  for (const GeneTest &test : kGeneTests) {
    if (!*test.selected) {
      continue;
    }
    files.push_back({std::string("-") + test.name, *test.file, variant_error});
    if (&test == &kGeneTests[kSkat] && analysis_mode == 2) {
      files.push_back({"the naive SKAT file of -SKAT", out_naive_skat, variant_error});
    }
  }
  files.push_back({"-OUT_MLE", out_test, "Error: Cannot open gene level testing results file "});
  if (analysis_mode == 2) {
    files.push_back(
        {"-OUT_NAIVE", out_naive, "Error: Cannot open naive gene level testing results file "});
  }
  files.push_back({"-OUT_WARN", out_warn, "Error: Cannot open warning file "});
  return files;
}

std::string describe(const RunFile &file) { return file.option + " (" + file.path + ")"; }

// Two names are one file when both exist and share device and inode (links, "./", "../" and
// symbolic links all lead there); when neither exists yet, when their paths resolve to the
// same place. A name that exists and one that does not are different files. Only a regular file
// counts: outputs may well share a device such as /dev/null, or a pipe, where nothing is
// overwritten.
bool same_file(const std::string &a, const std::string &b) {
  struct stat sa, sb;
  const bool a_exists = stat(a.c_str(), &sa) == 0;
  const bool b_exists = stat(b.c_str(), &sb) == 0;
  if (a_exists && b_exists) {
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino && S_ISREG(sa.st_mode);
  }
  if (a_exists || b_exists) {
    return false;
  }
  std::error_code ea, eb;
  const std::filesystem::path ra =
      std::filesystem::weakly_canonical(std::filesystem::absolute(a), ea);
  const std::filesystem::path rb =
      std::filesystem::weakly_canonical(std::filesystem::absolute(b), eb);
  return !ea && !eb && ra == rb;
}

// Whether opening the path for writing would succeed: an existing file that is no folder and
// may be written, or a new name in a folder that exists and may be written.
bool can_create(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    return !S_ISDIR(st.st_mode) && access(path.c_str(), W_OK) == 0;
  }
  if (errno != ENOENT) {
    return false;  // for instance a path through a file, or a folder that may not be searched
  }
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? std::string(".")
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         access(folder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

void check_input_files() {
  for (const RunFile &file : input_files()) {
    struct stat st;
    if (stat(file.path.c_str(), &st) != 0) {
      continue;  // reported by the reading as a file that cannot be opened
    }
    if (S_ISDIR(st.st_mode)) {
      stop("Error: " + describe(file) + " is a folder, not a table");
    }
    if (!S_ISREG(st.st_mode)) {
      stop("Error: " + describe(file) + " is not a regular file");
    }
    if (access(file.path.c_str(), R_OK) != 0) {
      stop("Error: " + describe(file) + " may not be read");
    }
  }
}

void check_output_files() {
  const std::vector<RunFile> inputs = input_files();
  const std::vector<RunFile> outputs = output_files();
  for (std::size_t o = 0; o < outputs.size(); o++) {
    for (const RunFile &input : inputs) {
      if (same_file(outputs[o].path, input.path)) {
        stop("Error: " + describe(outputs[o]) + " and " + describe(input) +
             " are the same file; an output would overwrite an input");
      }
    }
    for (std::size_t e = 0; e < o; e++) {
      if (same_file(outputs[o].path, outputs[e].path)) {
        stop("Error: " + describe(outputs[o]) + " and " + describe(outputs[e]) +
             " are the same file; two outputs cannot share one file");
      }
    }
  }
  for (const RunFile &output : outputs) {
    if (!can_create(output.path)) {
      stop(output.open_error + output.path);
    }
  }
}
