#include "main/observers.hpp"

#include "output/chip_file.hpp"
#include "output/classic_files.hpp"
#include "output/completion.hpp"
#include "output/earlier_files.hpp"
#include "output/ebv_file.hpp"
#include "output/genotype_files.hpp"
#include "output/progress.hpp"
#include "output/run_record.hpp"
#include "stats/summary_observer.hpp"

namespace qm {

observer_list registered_observers(const run_options& o) {
  const output_folder folder(o.outdir);
  observer_list list(o.output);
  if (o.outdir.empty()) list.add(make_earlier_files_warning(folder));
  list.add(make_run_record_files(o));
  register_classic_files(list, folder);
  list.add(make_chip_file(folder));
  // PLINK and VCF files (kinds "plink" and "vcf"): one observer, which
  // writes what o.plink and o.vcf say (parse_options sets them from --files)
  // and the reference genome.fa shared by both.
  list.add(make_genotype_files(o));
  // Every generation's row, whatever --generations chooses.
  list.add_every_generation(make_summary_observer(folder, o.history_summary, !o.save_history.empty(), true,
                                                  o.output.wants("summary"), o.output.wants("report")));
  list.add_kind(make_ebv_file(folder), "ebv");
  if (!o.outdir.empty()) list.add(make_completion_note());
  list.add(make_progress_line(o.output));
  return list;
}

}  // namespace qm
