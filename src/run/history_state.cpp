#include "run/history_state.hpp"

#include <sys/stat.h>

#include <cstdio>

#include "base/atomic_file.hpp"
#include "base/byte_codec.hpp"
#include "base/interrupt.hpp"
#include "base/invariant_error.hpp"
#include "base/messages.hpp"
#include "config/scheme_file.hpp"
#include "config/stage_plan.hpp"
#include "random/replicate.hpp"
#include "run/memory_estimate.hpp"

namespace qm {

namespace {

stage1_record integer(const char* name, int32_t record, int64_t v) {
  stage1_record r;
  r.name = name;
  r.record = record;
  r.type = stage1_record::kind::integer;
  r.integer = v;
  return r;
}

stage1_record real(const char* name, int32_t record, double v, stage1_record::kind k) {
  stage1_record r;
  r.name = name;
  r.record = record;
  r.type = k;
  r.real = v;
  return r;
}

const std::string remedy =
    " Stage 1 and the genome must be the ones the history was made with (the later stages may differ): "
    "use the parameter file it was made from, or make a new history with --save-history.";

}  // namespace

std::vector<stage1_record> stage1_records(const run_parameters& p) {
  const stage_block& b = p.stage1();
  using k = stage1_record::kind;
  return {integer("nmpc", 10, p.nmpc),
          integer("nchr", 10, p.nchr),
          integer("maptype", 10, p.maptype),
          real("chrlen", 12, p.chrlen, k::single_real),
          real("mutm", 12, p.mutm, k::double_real),
          real("mutq", 12, p.mutq, k::double_real),
          integer("seed", 16, p.seed),
          integer("stage-1 nsire", 18, b.nsire),
          integer("stage-1 ndam", 18, b.ndam),
          integer("stage-1 nind", 18, b.nind),
          integer("stage-1 ngen", 18, b.ngen),
          integer("stage-1 nomut", 20, b.nomut),
          integer("stage-1 matetype", 20, b.matetype),
          integer("stage-1 seltype", 20, b.seltype)};
}

void check_stage1_records(const run_parameters& p, const saved_history& h) {
  const std::vector<stage1_record> now = stage1_records(p);
  for (size_t k = 0; k < now.size() && k < h.records.size(); ++k) {
    const stage1_record& was = h.records[k];
    const stage1_record& is = now[k];
    if (was.name != is.name || was.record != is.record || was.type != is.type)
      throw history_error("History file " + h.file + " lists the stage-1 record " + was.name + " where this program has " +
                          is.name + ". Make it again with --save-history.");
    if (!was.same_value(is)) {
      std::string where = "record " + std::to_string(is.record), file = "the parameter file ";
      if (p.scheme) {
        // "Scheme file F, line L, column C: `[genome] chromosomes`": the place after the file.
        const std::string name = is.name.starts_with("stage-1 ") ? is.name.substr(8) : is.name;
        const std::string place = p.scheme->where(is.record, name);
        const size_t comma = place.find(", line ");
        where = comma == std::string::npos ? "its default" : place.substr(comma + 2);
        const size_t colon = where.find(": ");
        if (colon != std::string::npos) where = where.substr(colon + 2) + ", " + where.substr(0, colon);
        file = "the scheme file ";
      }
      if (is.name == "seed" && p.seed_from_command_line) where += ", given by --seed";
      throw history_error("History file " + h.file + " was made with " + was.name + " = " + was.text() + "; " + file +
                          p.parafile + " has " + is.text() + " (" + where + ")." + remedy);
    }
  }
  if (now.size() != h.records.size())
    throw history_error("History file " + h.file + " lists " + std::to_string(h.records.size()) +
                        " stage-1 records; this program uses " + std::to_string(now.size()) +
                        ". Make it again with --save-history.");
  const planned_stage stage1(1, p.stage1(), 0);
  if (h.map.nchr != p.nchr || h.map.nmpc != p.nmpc || h.map.maptype != p.maptype || h.pop.nind != p.stage1().nind ||
      h.pedigree.generations() != stage1.generations() + 1)
    throw history_error("History file " + h.file +
                        " holds a state that does not fit its own stage-1 records (a map, population or pedigree "
                        "of another size). Make it again with --save-history.");
}

namespace {

using std::to_string;

// A value in the file that no stage 1 of the parameter file leaves. The
// checksum matched, so the file was changed after it was written (or made
// by a faulty program): the same words as for a fault of the frame.
[[noreturn]] void wrong(const saved_history& h, const std::string& what) {
  throw history_error("History file " + h.file + " is damaged: " + what + ". Make it again with --save-history.");
}

std::string position_text(const locus_position& l) {
  char b[80];
  std::snprintf(b, sizeof b, "%.17g Morgan (base pair %lld)", l.morgan, static_cast<long long>(l.base_pair));
  return b;
}

// The map stage 1 made: the one the records and the start seed give. Both
// maps have passed verify for the same sizes.
void check_map_is_made(const run_parameters& p, const saved_history& h) {
  random_stream r;
  r.start_seed = r.state = h.rng.start_seed;
  const genome_map made = build_genome_map(p, r);
  const auto differs = [&](const char* kind, size_t k, const locus_position& was, const locus_position& is) {
    wrong(h, "its genetic map is not the one that its stage-1 records and start seed " + to_string(h.rng.start_seed) +
                 " make: " + kind + " " + to_string(k + 1) + " lies at " + position_text(was) + ", not " +
                 position_text(is));
  };
  for (size_t k = 0; k < made.markers.size(); ++k)
    if (h.map.markers[k].morgan != made.markers[k].morgan || h.map.markers[k].base_pair != made.markers[k].base_pair)
      differs("marker", k, h.map.markers[k], made.markers[k]);
  for (size_t k = 0; k < made.candidates.size(); ++k)
    if (h.map.candidates[k].morgan != made.candidates[k].morgan ||
        h.map.candidates[k].base_pair != made.candidates[k].base_pair)
      differs("candidate locus", k, h.map.candidates[k], made.candidates[k]);
  for (size_t k = 0; k < made.candidates.size(); ++k)
    if (h.map.recomb_left[k] != made.recomb_left[k] || h.map.recomb_right[k] != made.recomb_right[k])
      wrong(h, "its genetic map is not the one that its stage-1 records and start seed " +
                   to_string(h.rng.start_seed) + " make: the recombination fractions of candidate locus " +
                   to_string(k + 1) + " differ");
  // The gaps are the differences of the marker positions (verify).
}

void check_run(const run_parameters& p, const saved_history& h) {
  if (h.replicate < 0) wrong(h, "it was made by replicate " + to_string(h.replicate));
  const int32_t s = h.rng.start_seed;
  if (s < 1 || static_cast<uint32_t>(s) >= rmod)
    wrong(h, "its random stream started from seed " + to_string(s) + ", outside 1..2147483646");
  // A seed of 0 is the clock's: any start seed can be its.
  if (p.seed != 0) {
    const int32_t want = h.replicate > 0 ? replicate_seed(p.seed, h.replicate) : p.seed;
    if (s != want)
      wrong(h, "its random stream started from seed " + to_string(s) + ", but seed " + to_string(p.seed) +
                   (h.replicate > 0 ? " and replicate " + to_string(h.replicate) + " give " : " gives ") +
                   to_string(want));
  }
  if (h.mutation_on) wrong(h, "mutation is on, but stage 1 switches it off in its recoding generation");
}

void check_population(const run_parameters& p, const saved_history& h) {
  const stage_block& b = p.stage1();
  const population& pop = h.pop;
  // Every generation of stage 1 has nind animals; its last selection chose
  // nsire sires and ndam dams of them.
  if (static_cast<int64_t>(pop.sires.size()) != b.nsire || static_cast<int64_t>(pop.dams.size()) != b.ndam)
    wrong(h, "it lists " + to_string(pop.sires.size()) + " selected sires and " + to_string(pop.dams.size()) +
                 " selected dams; stage 1 selects nsire = " + to_string(b.nsire) + " and ndam = " + to_string(b.ndam));
  population_context c;
  c.previous_nind = pop.nind;
  c.selection_of_previous = false;
  c.max_allele = 2;
  c.traits = 0;  // values come with the traits, from stage 2 on
  verify(pop, c);
  const pedigree_history& ped = h.pedigree;
  verify(ped);
  for (int32_t g = 0; g < ped.generations(); ++g)
    if (ped.size_of(g) != pop.nind)
      wrong(h, "generation " + to_string(g) + " of its pedigree has " + to_string(ped.size_of(g)) +
                   " animals; every generation of stage 1 has nind = " + to_string(pop.nind));
  // The last generation of the pedigree is the population, with its parents.
  const int32_t last = ped.generations() - 1;
  if (last < 1) wrong(h, "its pedigree holds the base generation only");
  const int64_t first = ped.first_of(last), before = ped.first_of(last - 1);
  for (int32_t i = 0; i < pop.nind; ++i) {
    const pedigree_record& r = ped.at(first + i);
    const parent_pair& pp = pop.parents[static_cast<size_t>(i)];
    if (r.sire != before + pp.sire - 1 || r.dam != before + pp.dam - 1)
      wrong(h, "animal " + to_string(i + 1) + " of the population has sire " + to_string(pp.sire) + " and dam " +
                   to_string(pp.dam) + ", but its pedigree gives " + to_string(r.sire - before + 1) + " and " +
                   to_string(r.dam - before + 1));
  }
}

std::string megabytes(int64_t b) { return to_string((b + (1 << 20) - 1) >> 20) + " MB"; }

// The size of the file, before it is read: against the memory the run may
// use, then against the most a history of p can have (all but its texts
// have the sizes the parameters give).
void check_history_size(const run_parameters& p) {
  struct stat st{};
  if (::stat(p.from_history.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;  // read_history_file says why
  const int64_t limit = memory_limit(p);
  const int64_t need = estimate_peak_memory(p, history_sizing::file_on_disk);
  const int64_t most = most_history_file_bytes(p.stage1().nind, p.markers(), p.candidate_loci(),
                                               planned_stage(1, p.stage1(), 0).generations() + 1);
  if (limit >= 0 && need > limit)
    throw history_error("History file " + p.from_history + " has " + megabytes(st.st_size) +
                        "; with it the run needs about " + megabytes(need) + " of memory, more than the " +
                        megabytes(limit) +
                        (p.max_memory_bytes > 0 ? " that --max-memory allows" : " available on this machine") +
                        ". A history of " + p.parafile + " has about " +
                        megabytes(history_file_memory(p, history_sizing::of_parameters)) +
                        ": give the history made from this parameter file, or make it again with --save-history.");
  if (st.st_size > most)
    throw history_error("History file " + p.from_history + " has " + to_string(st.st_size) +
                        " bytes, more than a history of " + p.parafile + " can have (" + to_string(most) +
                        "): it is another file, or was changed. Give the history made from this parameter file, or "
                        "make it again with --save-history.");
}

}  // namespace

void check_history_fits(const run_parameters& p, const saved_history& h, const observer_list& observers) {
  check_stage1_records(p, h);
  check_run(p, h);
  try {
    verify(h.map, p.chrlen);
    check_map_is_made(p, h);
    check_population(p, h);
  } catch (const invariant_error& e) {
    wrong(h, e.what());
  }
  const planned_stage stage1(1, p.stage1(), 0);
  try {
    observers.check_history_sections(history_resume{p, stage1.generations(), stage1.last(), h.extras.observer_sections});
  } catch (const decode_error& e) {
    wrong(h, e.what());
  }
}

saved_history read_history_for_run(const run_parameters& p, const observer_list& observers) {
  check_history_size(p);
  saved_history h = read_history_file(p.from_history);
  check_history_fits(p, h, observers);
  return h;
}

void save_history(const run_state& st, const std::string& path, const history_extras& extras) {
  const run_parameters& p = st.params;
  const std::vector<stage1_record> records = stage1_records(p);
  const history_source s{p.parafile, p.replicate, records, st.rng, st.mutation_on, st.map, st.pop, st.history, extras};
  try {
    write_history_file(path, s);
  } catch (const history_error& e) {
    stop(e.what());
  } catch (const file_error& e) {
    stop(std::string(e.what()));
  }
}

void resume_from_history(run_state& st, saved_history& h, const observer_list& observers) {
  const run_parameters& p = st.params;
  st.map = std::move(h.map);
  st.pop = std::move(h.pop);
  if (!p.packed_genome) {  // --genome-layout bytes
    unpack_haplotypes(st.pop.markers, p.threads);
    unpack_haplotypes(st.pop.candidates, p.threads);
  }
  st.history = std::move(h.pedigree);
  st.history.reserve(stage_plan(p).animals());
  st.rng = h.rng;
  st.mutation_on = h.mutation_on;
  st.ebv.plan(p);
  // Replicate K of the later stages: their stream starts at the seed of
  // replicate K of the history's start seed; replicate 0 goes on with the
  // saved stream, exactly as the run that made the history went on.
  if (p.replicate > 0) start_stream(st.rng, replicate_seed(h.rng.start_seed, p.replicate));
  observers.map_built(p, st.map);
  msg_replay(h.extras.log_text, h.extras.console_text);
  const planned_stage stage1(1, p.stage1(), 0);
  observers.history_resumed(history_resume{p, stage1.generations(), stage1.last(), h.extras.observer_sections});
  note_generation_done(1, stage1.last().number);
}

}  // namespace qm
