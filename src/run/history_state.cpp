#include "run/history_state.hpp"

#include "base/atomic_file.hpp"
#include "base/interrupt.hpp"
#include "base/messages.hpp"
#include "config/stage_plan.hpp"
#include "random/replicate.hpp"

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
      std::string where = "record " + std::to_string(is.record);
      if (is.name == "seed" && p.seed_from_command_line) where += ", given by --seed";
      throw history_error("History file " + h.file + " was made with " + was.name + " = " + was.text() +
                          "; the parameter file " + p.parafile + " has " + is.text() + " (" + where + ")." + remedy);
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
