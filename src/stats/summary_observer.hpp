// summary.csv, ld_decay.csv and report.html of a run, as an observer of the
// generation loop. One row per generation that writes result files (and,
// with --history-summary, per historical generation); the LD decay of the
// last generation; the report once the run has ended normally.
//
// Pedigree inbreeding is counted from the first generation with result
// files (the stage-2 generation): its animals are the base, unrelated and
// not inbred; every later animal's coefficient follows from the pedigree
// since then (Meuwissen and Luo, one generation appended at a time).
// Historical rows have no pedigree inbreeding, no QTL and no values (NA).
//
// The results of the scheme (stats/scheme_results.hpp) are worked out from
// the generation's values, the criterion its stage selects on (phenotype,
// true or estimated breeding value of trait 1), the selected parents and the
// parents of its animals; the base of the gains is the first generation
// with values, the regression over a stage goes on the row of the stage's
// last generation in the plan.
//
// A generation of lines (population::lines) gives one row per line, each of
// the line's animals alone, with the results of the scheme in a series per
// line; with dominance the rows carry the mean genotypic value, the
// dominance variance, the inbreeding depression and, on a cross line's row,
// the heterosis realised against its parental lines' rows of the same
// generation and predicted from their QTL allele frequencies.
#pragma once
#include <memory>

#include "run/observer.hpp"

namespace qm {

// keep_history_rows: the historical rows are computed also without
// history_rows, for the history file (--save-history), which keeps them.
// scheme_results false leaves the results of the scheme NA (gains, accuracy,
// intensity, parents, rates of inbreeding, the QTL followed for the report):
// what the benchmark measures their cost against.
// csv: write summary.csv and ld_decay.csv (kind "summary"); report: write
// report.html (kind "report"). The rows are made either way.
std::unique_ptr<generation_observer> make_summary_observer(const output_folder& folder, bool history_rows,
                                                           bool keep_history_rows = false, bool scheme_results = true,
                                                           bool csv = true, bool report = true);

}  // namespace qm
