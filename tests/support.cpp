#include "support.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/invariant_error.hpp"
#include "base/messages.hpp"
#include "config/parameters.hpp"
#include "config/stage_plan.hpp"
#include "run/generation.hpp"

namespace qmtest {

tempdir::tempdir() {
  char buf[4096];
  if (!getcwd(buf, sizeof buf)) throw std::runtime_error("getcwd");
  old = buf;
  char tmpl[] = "/tmp/qmtest.XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  path = tmpl;
  if (chdir(path.c_str()) != 0) throw std::runtime_error("chdir");
}

tempdir::~tempdir() {
  if (chdir(old.c_str()) != 0) return;
  std::string cmd = "rm -rf '" + path + "'";
  if (std::system(cmd.c_str()) != 0) return;
}

console_capture::console_capture() : f(std::tmpfile()) { qm::msg_set_console(f); }
console_capture::~console_capture() {
  qm::msg_set_console(nullptr);
  std::fclose(f);
}
std::string console_capture::text() {
  std::fflush(f);
  const long pos = std::ftell(f);
  std::string s(static_cast<size_t>(pos), '\0');
  std::rewind(f);
  if (pos > 0 && std::fread(s.data(), 1, s.size(), f) != s.size()) s.clear();
  std::fseek(f, 0, SEEK_END);
  return s;
}

int run_program(const std::string& args) {
  const std::string cmd = std::string("'") + QM_BINARY + "' " + args + " > stdout.txt 2> stderr.txt < /dev/null";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

int run_scheme_in(const std::string& dir, const std::string& name, const std::string& text,
                  const std::string& options) {
  const std::string file = dir + "/" + name + ".toml";
  write_file(file, text);
  const std::string cmd = "'" + std::string(QM_BINARY) + "' '" + file + "' --outdir '" + dir + "/" + name +
                          "' --quiet " + options + " > '" + dir + "/" + name + ".out' 2>&1 < /dev/null";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string invariant_fault(const std::function<void()>& f) {
  try {
    f();
  } catch (const qm::invariant_error& e) {
    return e.what();
  }
  return "";
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

bool file_exists(const std::string& path) { return std::ifstream(path).good(); }

std::string small_par() {
  return "A small test run\n"
         "1 0 0.2 0   ntrait thresh incid uncommon_QTL\n"
         "genetic correlations\n"
         "\n"
         "residual correlations\n"
         "\n"
         "heritabilities\n"
         "0.3\n"
         "markers per chromosome, chromosomes, maptype\n"
         "11 4 0\n"
         "chromosome length, mutation rates\n"
         "1.0 1.0e-3 2.0e-3\n"
         "qtlrule nqtl qtlp1 qtlp2\n"
         "0 10 1.0 1.0\n"
         "nstage spare seed\n"
         "3 0 12345\n"
         "stage 1: nsire ndam nind ngen\n"
         "10 20 40 30\n"
         "stage 1: nomut matetype seltype\n"
         "0 2 0\n"
         "stage 2: nsire ndam nind ngen\n"
         "10 20 40 1\n"
         "stage 2: nomut matetype seltype\n"
         "0 0 1\n"
         "stage 3: nsire ndam nind ngen\n"
         "10 20 40 2\n"
         "stage 3: nomut matetype seltype\n"
         "0 2 2\n";
}

std::string set_record(const std::string& par, int n, const std::string& line) {
  std::vector<std::string> recs;
  std::istringstream in(par);
  std::string r;
  while (std::getline(in, r)) recs.push_back(r);
  while (static_cast<int>(recs.size()) < n) recs.emplace_back();
  recs[static_cast<size_t>(n - 1)] = line;
  std::string out;
  for (const std::string& x : recs) out += x + "\n";
  return out;
}

void load_par(qm::run_parameters& p, const std::string& par) {
  write_file("param.par", par);
  p.parafile = "param.par";
  qm::read_parameters(p);
}

run_setup::run_setup(const std::string& par, int threads, const qm::observer_list& observers) {
  params.threads = threads;
  load_par(params, par);
  qm::start_population(st, observers);
}

void run_setup::run_stage(int s, const qm::observer_list& observers) {
  const qm::stage_block& b =
      s == 1 ? params.stage1()
             : qm::enter_stage(params, s, static_cast<int32_t>(st.pop.sires.size()),
                               static_cast<int32_t>(st.pop.dams.size()));
  qm::stage_plan(params).stage(s).for_each_generation(
      [&](const qm::generation_step& g) { qm::run_generation(st, b, g, observers); });
}

// ---------------------------------------------------------------- SHA-256

namespace {
uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
}  // namespace

std::string sha256(const std::string& bytes) {
  static const uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
      0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
      0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
      0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
      0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
      0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::string m = bytes;
  const uint64_t bits = static_cast<uint64_t>(bytes.size()) * 8;
  m += static_cast<char>(0x80);
  while (m.size() % 64 != 56) m += '\0';
  for (int i = 7; i >= 0; --i) m += static_cast<char>((bits >> (8 * i)) & 0xff);
  for (size_t off = 0; off < m.size(); off += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      const auto* b = reinterpret_cast<const unsigned char*>(m.data() + off + 4 * i);
      w[i] = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    }
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
  }
  char out[65];
  for (int i = 0; i < 8; ++i) std::snprintf(out + 8 * i, 9, "%08x", h[i]);
  return std::string(out, 64);
}

std::string le(uint64_t v, int n) {
  std::string out;
  for (int k = 0; k < n; ++k) out.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
  return out;
}

std::string le_f64(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  return le(bits, 8);
}

std::string le_text(const std::string& s) { return le(s.size(), 8) + s; }

namespace {

uint64_t le64_at(const std::string& b, size_t at) {
  uint64_t v = 0;
  for (int k = 0; k < 8; ++k) v |= uint64_t{static_cast<uint8_t>(b[at + k])} << (8 * k);
  return v;
}

// The tag and payload of every section, in file order.
std::vector<std::pair<std::string, std::string>> history_sections(const std::string& file) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t at = 56;
  while (at + 16 <= file.size() - 32) {
    const uint64_t n = le64_at(file, at + 8);
    out.emplace_back(file.substr(at, 4), file.substr(at + 16, n));
    at = (at + 16 + n + 7) / 8 * 8;
  }
  return out;
}

}  // namespace

std::string history_payload(const std::string& file, const std::string& tag) {
  for (const auto& [t, payload] : history_sections(file))
    if (t == tag) return payload;
  ADD_FAILURE() << "no section " << tag;
  return "";
}

std::string with_history_payload(const std::string& file, const std::string& tag, const std::string& payload) {
  std::string out = file.substr(0, 56);
  bool found = false;
  for (auto& [t, p] : history_sections(file)) {
    if (t == tag) {
      p = payload;
      found = true;
    }
    out += t + le(0, 4) + le(p.size(), 8) + p;
    out.resize((out.size() + 7) / 8 * 8, '\0');
  }
  EXPECT_TRUE(found) << "no section " << tag;
  out += std::string(32, '\0');
  out.replace(16, 8, le(out.size(), 8));
  reseal_history(out);
  return out;
}

void reseal_history(std::string& file) {
  const std::string hex = sha256(file.substr(0, file.size() - 32));
  for (size_t k = 0; k < 32; ++k)
    file[file.size() - 32 + k] = static_cast<char>(std::stoi(hex.substr(2 * k, 2), nullptr, 16));
}

std::map<std::string, std::vector<double>> summary_columns(const std::string& file) {
  std::istringstream in(read_file(file));
  std::string line;
  std::getline(in, line);
  std::vector<std::string> names;
  std::stringstream hs(line);
  for (std::string c; std::getline(hs, c, ',');) names.push_back(c);
  std::map<std::string, std::vector<double>> cols;
  while (std::getline(in, line)) {
    std::stringstream ls(line);
    size_t k = 0;
    for (std::string c; std::getline(ls, c, ','); ++k)
      if (k < names.size()) cols[names[k]].push_back(c == "NA" ? std::nan("") : std::strtod(c.c_str(), nullptr));
  }
  return cols;
}

}  // namespace qmtest
