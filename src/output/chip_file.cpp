#include "output/chip_file.hpp"

#include "base/fixed.hpp"
#include "base/textfile.hpp"

namespace qm {

namespace {

class chip_file : public generation_observer {
 public:
  explicit chip_file(const output_folder& folder) : folder_(folder) {}
  void plan_files(const run_parameters& p, const stage_plan& plan, file_plan& files) const override {
    if (p.chip_markers > 0 && plan.reaches(2) && plan.stage(2).readable()) files.names.insert(chip_file_name);
  }
  void name_patterns(std::vector<file_name_pattern>& patterns) const override { patterns.push_back({chip_file_name}); }
  void on_architecture(const generation_view& v) override {
    if (!v.chip || !v.chip->defined()) return;
    textfile f(folder_.file(chip_file_name));
    const std::string text = chip_file_text(v.map, *v.chip);
    f.write(text.data(), text.size());
    f.finish();
  }

 private:
  output_folder folder_;
};

}  // namespace

std::string chip_file_text(const genome_map& map, const snp_chip& chip) {
  std::string s = "marker number chromosome position maf\n";
  for (size_t k = 0; k < chip.markers.size(); ++k) {
    const int32_t l = chip.markers[k];
    const locus_position& pos = map.markers[static_cast<size_t>(l)];
    s += "chr" + std::to_string(pos.chromosome) + "-";
    add_imin(s, map.nmpc > 0 ? l % map.nmpc + 1 : l + 1, 4, 4);
    s += ' ';
    add_imin(s, l + 1, 1, 1);
    s += ' ';
    add_imin(s, pos.chromosome, 1, 1);
    s += ' ';
    add_imin(s, pos.base_pair, 1, 1);
    s += ' ';
    add_f(s, chip.maf[k], 8, 6);
    s += '\n';
  }
  return s;
}

std::unique_ptr<generation_observer> make_chip_file(const output_folder& folder) {
  return std::make_unique<chip_file>(folder);
}

}  // namespace qm
