#include "main/driver.hpp"

#include <string>

#include "output/fixed.hpp"
#include "output/results.hpp"
#include "population/base.hpp"
#include "population/mating.hpp"
#include "population/meiosis.hpp"
#include "population/recode.hpp"
#include "qtl/choose.hpp"
#include "qtl/mapfiles.hpp"
#include "run/messages.hpp"
#include "run/params.hpp"
#include "values/threshold.hpp"
#include "values/breeding_values.hpp"
#include "values/selection.hpp"

namespace qm {

void generation_message(int64_t g) {
  std::string s;
  add_imin(s, g, 5, 1);
  s += "   generation finished!";
  show(s);
}

namespace {

void banner() {
  show("Quillmere ___________Last modified 2014/10/17");
  show("          ========================================");
  show("          |              QUILLMERE               |");
  show("          |  Genome-level breeding simulation    |");
  show("          |  Quillmere developers, 2026          |");
  show("          |  Manual: README.md of the project    |");
  show("          |Function module-                      |");
  show("                       Multiple correlated traits|");
  show("          |  Markers, QTL, selection, mating     |");
  show("          |  Repeatable from its random seed     |");
  show("          ========================================");
}

// One generation: parents mated, offspring made.
void breed(popstate& p) {
  mate_parents(p, p.matetype, p.nind);
  make_offspring(p);
}

void stage1(popstate& p) {
  const int32_t g = p.ngen;
  p.igen = 1;
  for (int32_t i = 1; i <= g - 10; ++i) {
    p.igen = i;
    breed(p);
    allele_bookkeeping(p);
    select_parents(p, p.seltype, p.nsire, p.ndam);
    generation_message(p.igen);
  }
  if (g - 10 >= 1) p.igen = g - 9;  // the loop counter after the loop
  // The recoding generation: mutation off for the rest of the run.
  p.nomut = 1;
  breed(p);
  recode_to_two_alleles(p.nmark, p.mtype, p.nhap, p.malle, p.threads);
  recode_to_two_alleles(p.nqloc, p.qtype, p.nhap, p.qalle, p.threads);
  p.carried_ok = false;
  select_parents(p, p.seltype, p.nsire, p.ndam);
  generation_message(p.igen);
  for (int32_t i = g - 9; i <= g; ++i) {
    p.igen = i;
    breed(p);
    select_parents(p, p.seltype, p.nsire, p.ndam);
    generation_message(p.igen);
  }
  show("Stage 1 finished!");
}

// A later stage-2 generation number would reuse the stage-2 file names.
void overwrite_warning(const popstate& p) {
  int64_t later = 0;
  for (int s = 3; s <= p.nstage; ++s) {
    const stageblock& b = p.stages[static_cast<size_t>(s)];
    if (b.ok && b.ngen > 0) later += b.ngen;
  }
  if (p.ngen >= 2 && p.ngen <= 1 + later)
    show("Warning: stage-2 result files (generation " + std::to_string(p.ngen) +
         ") will be overwritten by a later stage.");
}

void stage2(popstate& p) {
  changepara(p, 2);
  overwrite_warning(p);
  p.igen = 1;
  breed(p);
  choose_qtl(p);
  write_map_files(p);
  compute_values(p);
  if (p.thresh == 1) fix_threshold(p);
  show("Getbv passed.");
  select_parents(p, p.seltype, p.nsire, p.ndam);
  write_generation_files(p, p.ngen);
  p.igen = 1;
  generation_message(1);
  show("Stage 2 finished!");
}

void later_stage(popstate& p, int s) {
  changepara(p, s);
  for (int32_t i = 1; i <= p.ngen; ++i) {
    p.igen = i;
    const int32_t g = p.gensum + i;
    breed(p);
    compute_values(p);
    if (p.thresh == 1) classify_threshold_trait(p);
    select_parents(p, p.seltype, p.nsire, p.ndam);
    write_generation_files(p, g);
    generation_message(g);
  }
  p.gensum += p.ngen;
  std::string m = "Stage";
  add_imin(m, s, 4, 1);
  m += " finished!";
  show(m);
}

void summary(const std::string& start) {
  const std::string end = clock_hms();
  console_blank_line();
  show(" ");
  show("        ========Congratulation========");
  show("        Program end without any error!");
  show("         " + start + " --> " + end);
}

}  // namespace

void quillmere(popstate& p) {
  banner();
  const std::string start = clock_hms();
  readpara(p);
  make_base_population(p);
  stage1(p);
  if (p.nstage >= 2) stage2(p);
  p.gensum = 1;
  for (int s = 3; s <= p.nstage; ++s) later_stage(p, s);
  summary(start);
  std::string seedline = "        With random seed  ";
  add_i(seedline, p.rng.start_seed, 14);
  show(seedline);
  show("        ==============================");
  release_state(p);
}

}  // namespace qm
