// CHIP.out and the SNP chip of whole runs: the file's lines; the chip's
// markers against frequencies counted from the .bed of every marker
// (--all-markers) of the same generation; PLINK and VCF files that hold
// exactly the chip's markers, with the genotypes of those markers, read by
// plink2 as CHIP.out says; the same bytes at 1 and 2 threads; the stop of a
// run that asks for more markers than reach min_maf, before any file of
// stage 2.
#include "output/chip_file.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "genotype_sample.hpp"
#include "support.hpp"

namespace {

TEST(ChipFile, LinesNameTheMarkersAsMmapOutWithPositionsAndFrequencies) {
  qm::genome_map map;
  map.nchr = 2;
  map.nmpc = 3;
  for (int32_t c = 1; c <= 2; ++c)
    for (int64_t j = 0; j < 3; ++j) map.markers.push_back({c, 0.5 * static_cast<double>(j), 50000000 * j});
  qm::snp_chip chip;
  chip.markers = {1, 3, 5};
  chip.maf = {0.5, 0.0125, 0.333333333};
  EXPECT_EQ(qm::chip_file_text(map, chip),
            "marker number chromosome position maf\n"
            "chr1-0002 2 1 50000000 0.500000\n"
            "chr2-0001 4 2 0 0.012500\n"
            "chr2-0003 6 2 100000000 0.333333\n");
}

// 4 chromosomes of 50 markers, 100 animals for 300 historical generations,
// then stage 2 and two generations on genomic BLUP; a chip of `markers`.
std::string chip_scheme(int markers) {
  return "title = \"chip\"\nseed = 8642\n"
         "[traits]\nheritability = [0.4]\n"
         "[genome]\nchromosomes = 4\nmarkers_per_chromosome = 50\nlength_morgan = 1.0\nmap = \"even\"\n"
         "marker_mutation_rate = 1e-3\ncandidate_qtl_mutation_rate = 1e-3\n"
         "[qtl]\ncount = 20\ndistribution = \"normal\"\n"
         "[chip]\nmarkers = " +
         std::to_string(markers) +
         "\nmin_maf = 0.05\n"
         "[[stage]]\nsires = 50\ndams = 50\nanimals = 100\ngenerations = 300\nmating = \"random\"\nselection = \"random\"\n"
         "[[stage]]\nsires = 50\ndams = 50\nanimals = 100\ngenerations = 1\nmating = \"random\"\nselection = \"random\"\n"
         "[[stage]]\nsires = 10\ndams = 50\nanimals = 100\ngenerations = 2\nmating = \"random\"\n"
         "selection = \"genomic_blup\"\n";
}

struct chip_line {
  std::string name;
  int32_t number = 0, chromosome = 0;
  int64_t position = 0;
  double maf = 0.0;
};

std::vector<chip_line> read_chip(const std::string& path) {
  std::vector<chip_line> v;
  const auto rows = qmtest::table_of(qmtest::read_file(path));
  EXPECT_EQ(rows.at(0), (std::vector<std::string>{"marker", "number", "chromosome", "position", "maf"}));
  for (size_t r = 1; r < rows.size(); ++r) {
    if (rows[r].empty()) continue;
    EXPECT_EQ(rows[r].size(), 5u);
    v.push_back({rows[r][0], std::stoi(rows[r][1]), std::stoi(rows[r][2]), std::stoll(rows[r][3]), std::stod(rows[r][4])});
  }
  return v;
}

// Copies of allele 2 of every variant of a .bed of n animals (00: two, 10:
// one, 11: none; 01, missing, is never written).
std::vector<std::vector<int>> bed_counts(const std::string& path, int n, int variants) {
  const std::string b = qmtest::read_file(path);
  const size_t row = static_cast<size_t>((n + 3) / 4);
  EXPECT_EQ(b.size(), 3 + row * static_cast<size_t>(variants));
  std::vector<std::vector<int>> out(static_cast<size_t>(variants));
  for (int v = 0; v < variants && b.size() >= 3 + row * static_cast<size_t>(variants); ++v)
    for (int i = 0; i < n; ++i) {
      const int code = (static_cast<unsigned char>(b[3 + row * static_cast<size_t>(v) + static_cast<size_t>(i / 4)]) >>
                        (2 * (i % 4))) & 3;
      EXPECT_NE(code, 1);
      out[static_cast<size_t>(v)].push_back(code == 0 ? 2 : code == 2 ? 1 : 0);
    }
  return out;
}

std::vector<std::string> bim_names(const std::string& path) {
  std::vector<std::string> v;
  for (const auto& r : qmtest::table_of(qmtest::read_file(path)))
    if (r.size() >= 2) v.push_back(r[1]);
  return v;
}

std::vector<std::string> files_in(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> v;
  for (const auto& r : qmtest::table_of(qmtest::run_command("ls " + folder).out))
    if (!r.empty() && r[0].size() > suffix.size() && r[0].compare(r[0].size() - suffix.size(), suffix.size(), suffix) == 0)
      v.push_back(r[0]);
  std::sort(v.begin(), v.end());
  return v;
}

TEST(ChipFile, RunsWriteTheChipsMarkersAsChosenFromTheFrequenciesOfStageTwo) {
  qmtest::tempdir td;
  qmtest::write_file("chip.toml", chip_scheme(60));
  const std::string bin = std::string("'") + QM_BINARY + "'";
  ASSERT_EQ(std::system((bin + " --quiet --threads 1 --outdir one --plink --vcf chip.toml > /dev/null").c_str()), 0);
  ASSERT_EQ(std::system((bin + " --quiet --threads 2 --outdir two --plink --vcf chip.toml > /dev/null").c_str()), 0);
  ASSERT_EQ(std::system((bin + " --quiet --outdir all --plink --all-markers chip.toml > /dev/null").c_str()), 0);
  ASSERT_EQ(
      std::system((bin + " --quiet --threads 2 --genome-layout bytes --outdir bytes --plink chip.toml > /dev/null").c_str()),
      0);

  const std::vector<chip_line> chip = read_chip("one/CHIP.out");
  ASSERT_EQ(chip.size(), 60u);
  const std::vector<std::string> beds = files_in("all", "geno.bed");
  ASSERT_EQ(beds.size(), 3u);  // stage 2 and the two generations of stage 3
  const std::string first = beds[0].substr(0, beds[0].size() - 4);  // NNgeno of the stage-2 generation

  // Frequencies of every marker in the stage-2 generation, from the .bed of all markers.
  ASSERT_EQ(bim_names("all/" + first + ".bim").size(), 200u);
  const auto counts = bed_counts("all/" + first + ".bed", 100, 200);
  std::vector<double> maf(200);
  std::vector<int> eligible(4, 0);
  for (int l = 0; l < 200; ++l) {
    int twos = 0;
    for (int c : counts[static_cast<size_t>(l)]) twos += c;
    maf[static_cast<size_t>(l)] = std::min(twos, 200 - twos) / 200.0;
    if (maf[static_cast<size_t>(l)] >= 0.05) eligible[static_cast<size_t>(l / 50)] += 1;
  }
  std::vector<int> per_chromosome(4, 0);
  int32_t last = 0;
  for (const chip_line& c : chip) {
    EXPECT_GT(c.number, last);
    last = c.number;
    const int l = c.number - 1;
    char name[32];
    std::snprintf(name, sizeof name, "chr%d-%04d", l / 50 + 1, l % 50 + 1);
    EXPECT_EQ(c.name, name);
    EXPECT_EQ(c.chromosome, l / 50 + 1);
    // even map: marker j of a chromosome of 1 Morgan at (j - 1) / 49 10^8 base pairs, truncated
    EXPECT_EQ(c.position, static_cast<int64_t>(static_cast<double>(l % 50) / 49.0 * 1e8)) << c.name;
    EXPECT_NEAR(c.maf, maf[static_cast<size_t>(l)], 5e-7) << c.name;
    EXPECT_GE(maf[static_cast<size_t>(l)], 0.05) << c.name;
    per_chromosome[static_cast<size_t>(c.chromosome - 1)] += 1;
  }
  // Chromosomes of equal length: 15 markers each where 15 are eligible.
  for (int c = 0; c < 4; ++c)
    if (eligible[static_cast<size_t>(c)] >= 15) {
      EXPECT_EQ(per_chromosome[static_cast<size_t>(c)], 15) << c + 1;
    }

  // Every generation's PLINK files of the chip run hold exactly the chip's
  // markers, with the genotypes the files of every marker give them.
  std::vector<std::string> chip_names;
  for (const chip_line& c : chip) chip_names.push_back(c.name);
  for (const std::string& bed : beds) {
    const std::string prefix = bed.substr(0, bed.size() - 4);
    EXPECT_EQ(bim_names("one/" + prefix + ".bim"), chip_names) << prefix;
    const auto all = bed_counts("all/" + prefix + ".bed", 100, 200);
    const auto on_chip = bed_counts("one/" + prefix + ".bed", 100, 60);
    for (size_t k = 0; k < chip.size(); ++k)
      EXPECT_EQ(on_chip[k], all[static_cast<size_t>(chip[k].number - 1)]) << prefix << " " << chip[k].name;
    // The VCF has the same records.
    const auto ids = qmtest::run_command("bcftools query -f '%ID\\n' one/" + prefix + ".vcf.gz");
    EXPECT_EQ(qmtest::table_of(ids.out).size(), 60u) << prefix;
    EXPECT_EQ(ids.out.substr(0, chip_names[0].size()), chip_names[0]);
  }
  // plink2 reads the stage-2 fileset of the chip with the frequencies of CHIP.out.
  if (qmtest::have_tool("plink2")) {
    const auto fr = qmtest::run_command("plink2 --silent --threads 1 --bfile one/" + first +
                                        " --freq --out f > /dev/null && cat f.afreq");
    const auto rows = qmtest::table_of(fr.out);
    ASSERT_EQ(rows.size(), 61u);
    for (size_t k = 0; k < chip.size(); ++k) {
      EXPECT_EQ(rows[k + 1][1], chip[k].name);
      const double alt = std::stod(rows[k + 1][4]);
      EXPECT_NEAR(std::min(alt, 1.0 - alt), chip[k].maf, 5e-7) << chip[k].name;
    }
  }
  // The same bytes at 1 and 2 threads and with the haplotypes kept as bytes
  // (CHIP.out and the EBVs of genomic BLUP among them); the classic files the
  // same with --all-markers.
  for (const std::string& f : files_in("one", ".out")) {
    EXPECT_EQ(qmtest::read_file("one/" + f), qmtest::read_file("two/" + f)) << f;
    EXPECT_EQ(qmtest::read_file("one/" + f), qmtest::read_file("bytes/" + f)) << f;
    EXPECT_EQ(qmtest::read_file("one/" + f), qmtest::read_file("all/" + f)) << f;
  }
  EXPECT_EQ(files_in("one", "EBV.out").size(), 2u);
  for (const std::string suffix : {".bed", ".bim", ".fam", ".vcf.gz"})
    for (const std::string& f : files_in("one", suffix)) {
      EXPECT_EQ(qmtest::read_file("one/" + f), qmtest::read_file("two/" + f)) << f;
      if (suffix != ".vcf.gz") {
        EXPECT_EQ(qmtest::read_file("one/" + f), qmtest::read_file("bytes/" + f)) << f;
      }
    }
  EXPECT_NE(qmtest::read_file("one/run.json").find("CHIP.out"), std::string::npos);

  // A chip of every marker: fewer reach min_maf; the run stops at stage 2
  // with their number, before any file of it.
  int reaching = 0, segregating = 0;
  for (double f : maf) {
    reaching += f >= 0.05;
    segregating += f > 0.0;
  }
  ASSERT_LT(reaching, 200);
  qmtest::write_file("all.toml", chip_scheme(200));
  EXPECT_EQ(qmtest::run_program("--quiet --outdir short --plink all.toml"), 1);
  const std::string log = qmtest::read_file("short/log.txt");
  EXPECT_NE(log.find("needs 200 markers with a minor-allele frequency of at least 0.05 at the start of stage 2, and " +
                     std::to_string(reaching) + " of the 200 markers reach it (" + std::to_string(segregating) +
                     " segregate)"),
            std::string::npos)
      << log;
  for (const char* f : {"CHIP.out", "QMAP.out", "MMAP.out", "Genetic_paramenters.out"})
    EXPECT_FALSE(qmtest::file_exists(std::string("short/") + f)) << f;
  EXPECT_TRUE(files_in("short", "geno.bed").empty());
  EXPECT_TRUE(files_in("short", "BV.out").empty());
}

}  // namespace
