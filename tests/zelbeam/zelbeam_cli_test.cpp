// The zelbeam program: the reference maps through it, every recording type, and what it refuses.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "temp_dir.h"

namespace {

const std::string kData = ZELBEAM_TEST_DATA;
const std::string kGeometry = kData + "/array_64.xml";
const std::string kRaw = kData + "/two_sources.raw";
const std::string kGrid = "-0.2,0.2,-0.2,0.2,-0.3,0.01";

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string slurp(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs zelbeam with `args` (each quoted for the shell).
Outcome zelbeam(const std::vector<std::string> &args, const zeltest::TempDir &dir) {
  std::string command = "'" ZELBEAM_PATH "'";
  for (const std::string &a : args) command += " '" + a + "'";
  command += " >'" + (dir / "out").string() + "' 2>'" + (dir / "err").string() + "'";
  Outcome run;
  const int raw = std::system(command.c_str());
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = slurp(dir / "out");
  run.err = slurp(dir / "err");
  return run;
}

// The float64 values of a .npy file written by zelbeam, after checking its header.
std::vector<double> read_npy(const std::filesystem::path &path, const std::string &shape) {
  const std::string bytes = slurp(path);
  EXPECT_GE(bytes.size(), 10u);
  if (bytes.size() < 10) return {};
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x93NUMPY\x01\x00", 8));
  const size_t header = static_cast<uint8_t>(bytes[8]) | (static_cast<uint8_t>(bytes[9]) << 8);
  const std::string dict = bytes.substr(10, header);
  EXPECT_NE(dict.find("'descr': '<f8'"), std::string::npos) << dict;
  EXPECT_NE(dict.find("'shape': " + shape), std::string::npos) << dict;
  EXPECT_EQ((10 + header) % 64, 0u);
  std::vector<double> values((bytes.size() - 10 - header) / sizeof(double));
  std::memcpy(values.data(), bytes.data() + 10 + header, values.size() * sizeof(double));
  return values;
}

std::vector<double> reference_map(const std::string &name) {
  const std::string bytes = slurp(kData + "/maps/" + name + ".f64");
  std::vector<double> values(bytes.size() / sizeof(double));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(double));
  return values;
}

TEST(ZelbeamProgram, GivesTheNineReferenceMaps) {
  struct Case {
    const char *name;
    std::vector<std::string> options;
  };
  const Case cases[] = {
      {"b1024_o50_truelevel_rdiag1_third_2000", {"--freq", "2000"}},
      {"b1024_o50_truelevel_rdiag1_third_4000", {"--freq", "4000"}},
      {"b1024_o50_truelevel_rdiag1_third_8000", {"--freq", "8000"}},
      {"b1024_o50_truelevel_rdiag1_octave_4000", {"--freq", "4000", "--band", "octave"}},
      {"b1024_o50_truelevel_rdiag1_bin_4000", {"--freq", "4000", "--band", "bin"}},
      {"b1024_o50_classic_rdiag0_third_4000",
       {"--freq", "4000", "--steer", "classic", "--diagonal", "keep"}},
      {"b1024_o50_inverse_rdiag1_third_4000", {"--freq", "4000", "--steer", "inverse"}},
      {"b1024_o50_truelocation_rdiag1_third_4000", {"--freq", "4000", "--steer=true-location"}},
      {"b256_o0_truelevel_rdiag1_third_8000",
       {"--freq", "8000", "--block", "256", "--overlap", "0"}},
  };
  zeltest::TempDir dir;
  for (const Case &c : cases) {
    std::vector<std::string> args = {
        "--geometry", kGeometry, "--grid", kGrid, "-o", (dir / "map.npy").string(), kRaw};
    args.insert(args.begin(), c.options.begin(), c.options.end());
    const Outcome run = zelbeam(args, dir);
    ASSERT_EQ(run.status, 0) << c.name << ": " << run.err;
    const std::vector<double> map = read_npy(dir / "map.npy", "(41, 41)");
    const std::vector<double> want = reference_map(c.name);
    ASSERT_EQ(map.size(), 41u * 41u) << c.name;
    ASSERT_EQ(want.size(), 41u * 41u) << c.name;
    const auto peak = std::max_element(want.begin(), want.end()) - want.begin();
    EXPECT_EQ(std::max_element(map.begin(), map.end()) - map.begin(), peak) << c.name;
    double worst = 0;
    for (size_t k = 0; k < want.size(); ++k)
      if (want[k] >= want[peak] - 20) worst = std::max(worst, std::fabs(map[k] - want[k]));
    EXPECT_LT(worst, 0.1) << c.name;
    char line[64];
    std::snprintf(line, sizeof line, "peak 0.100 -0.050 -0.300 %.3f dB\n", want[peak]);
    EXPECT_EQ(run.out, line) << c.name;
  }
}

// The reference recording as zelrecord's WAV (24-bit PCM) and HDF5 files would hold it.
void write_copies(const std::filesystem::path &wav, const std::filesystem::path &h5) {
  const std::string raw = slurp(kRaw);
  const size_t frames = raw.size() / 192;
  std::vector<int32_t> ints(frames * 64);
  std::vector<float> floats(frames * 64);
  for (size_t i = 0; i < ints.size(); ++i) {
    const auto *b = reinterpret_cast<const uint8_t *>(&raw[3 * i]);
    const int32_t v = (((b[0] << 16) | (b[1] << 8) | b[2]) ^ 0x800000) - 0x800000;
    ints[i] = v * 256;  // libsndfile's int is left-aligned
    floats[i] = static_cast<float>(v) / 8388608.0f;
  }
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 64;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
  SNDFILE *file = sf_open(wav.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(sf_writef_int(file, ints.data(), static_cast<sf_count_t>(frames)),
            static_cast<sf_count_t>(frames));
  sf_close(file);

  const hid_t out = H5Fcreate(h5.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  const hsize_t dims[2] = {frames, 64};
  const hid_t space = H5Screate_simple(2, dims, nullptr);
  const hid_t data =
      H5Dcreate2(out, "time_data", H5T_IEEE_F32LE, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
  H5Dwrite(data, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, floats.data());
  const hid_t scalar = H5Screate(H5S_SCALAR);
  const hid_t attr =
      H5Acreate2(data, "sample_freq", H5T_IEEE_F64LE, scalar, H5P_DEFAULT, H5P_DEFAULT);
  const double rate = 44100;
  H5Awrite(attr, H5T_NATIVE_DOUBLE, &rate);
  H5Aclose(attr);
  H5Sclose(scalar);
  H5Dclose(data);
  H5Sclose(space);
  H5Fclose(out);
}

TEST(ZelbeamProgram, ReadsEveryRecordingTypeAlike) {
  zeltest::TempDir dir;
  write_copies(dir / "take.wav", dir / "take.h5");
  for (const std::vector<std::string> &part :
       {std::vector<std::string>{}, {"--start", "0.05", "--duration", "0.1"}}) {
    std::string expected;
    for (const char *input : {"raw", "wav", "h5"}) {
      const std::string path =
          input == std::string("raw") ? kRaw : (dir / "take.").string() + input;
      std::vector<std::string> args = {"--geometry", kGeometry, "--grid", kGrid,
                                       "--freq",     "8000",    path};
      args.insert(args.end() - 1, part.begin(), part.end());
      const Outcome run = zelbeam(args, dir);
      ASSERT_EQ(run.status, 0) << input << ": " << run.err;
      if (expected.empty()) expected = run.out;
      EXPECT_EQ(run.out, expected) << input;
    }
  }
  // The other two outputs: CSV rows x slowest, and a PNG.
  const Outcome csv = zelbeam({"--geometry", kGeometry, "--grid", kGrid, "--freq", "4000", "-o",
                               (dir / "map.csv").string(), kRaw},
                              dir);
  ASSERT_EQ(csv.status, 0) << csv.err;
  std::istringstream rows(slurp(dir / "map.csv"));
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(rows, line)) lines.push_back(line);
  ASSERT_EQ(lines.size(), 41u * 41u + 1);
  EXPECT_EQ(lines[0], "x,y,z,level_db");
  EXPECT_EQ(lines[1].rfind("-0.200000,-0.200000,-0.300000,", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("-0.200000,-0.190000,", 0), 0u) << lines[2];
  EXPECT_EQ(lines[1 + 30 * 41 + 15].rfind("0.100000,-0.050000,-0.300000,53.56", 0), 0u);
  const Outcome png = zelbeam({"--geometry", kGeometry, "--grid", kGrid, "--freq", "4000", "-o",
                               (dir / "map.png").string(), kRaw},
                              dir);
  ASSERT_EQ(png.status, 0) << png.err;
  EXPECT_EQ(slurp(dir / "map.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
}

TEST(ZelbeamProgram, RefusesBadArgumentsAndUnreadableInput) {
  zeltest::TempDir dir;
  const std::string short_raw = (dir / "short.raw").string();
  const std::string odd_raw = (dir / "odd.raw").string();
  const std::string small_xml = (dir / "two.xml").string();
  std::ofstream(short_raw) << std::string(192 * 100, '\0');
  std::ofstream(odd_raw) << std::string(191, '\0');
  std::ofstream(small_xml) << R"(<a><pos x="0" y="0" z="0"/><pos x="0.1" y="0" z="0"/></a>)";
  const std::string g = kGeometry;
  struct Case {
    std::vector<std::string> args;
    int status;
    const char *says;
  };
  const Case cases[] = {
      {{}, 2, "missing --geometry"},
      {{"--geometry", g, "--freq", "4000", kRaw}, 2, "missing --grid"},
      {{"--geometry", g, "--grid", kGrid, kRaw}, 2, "missing --freq"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000"}, 2, "missing INPUT"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", kRaw, kRaw}, 2, "more than one"},
      {{"--geometry", g, "--grid", "0.2,-0.2,-0.2,0.2,-0.3,0.01", "--freq", "4000", kRaw},
       2,
       "--grid"},
      {{"--geometry", g, "--grid", "-0.2,0.2,-0.2,0.2,-0.3,0", "--freq", "4000", kRaw},
       2,
       "--grid"},
      {{"--geometry", g, "--grid", "-10,10,-10,10,-0.3,0.001", "--freq", "4000", kRaw},
       2,
       "--grid"},
      {{"--geometry", g, "--grid", "-0.2,0.2,-0.2,0.2,-0.3", "--freq", "4000", kRaw}, 2, "--grid"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "-1", kRaw}, 2, "--freq"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", "--block", "1000", kRaw}, 2, "--block"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", "--overlap", "25", kRaw},
       2,
       "--overlap"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", "--steer", "best", kRaw}, 2, "--steer"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", "--band", "fifth", kRaw}, 2, "--band"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", "-o", "map.txt", kRaw}, 2, "-o"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", "--duration", "0", kRaw},
       2,
       "--duration"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", "--colour", kRaw}, 2, "unknown"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", "/nonexistent.raw"}, 1, "cannot read"},
      {{"--geometry", "/nonexistent.xml", "--grid", kGrid, "--freq", "4000", kRaw}, 1, "geometry"},
      {{"--geometry", kRaw, "--grid", kGrid, "--freq", "4000", kRaw}, 1, "Malformed"},
      {{"--geometry", small_xml, "--grid", kGrid, "--freq", "4000", kRaw}, 1, "2 microphones"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", odd_raw}, 1, "192-byte"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", short_raw}, 1, "shorter"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "30000", kRaw}, 1, "fs/2"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", "--start", "1", kRaw},
       1,
       "past the end"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", kGeometry + ".h5"}, 1, "HDF5"},
      {{"--geometry", g, "--grid", kGrid, "--freq", "4000", "-o", "/nonexistent/map.npy", kRaw},
       1,
       "cannot write"},
  };
  for (const Case &c : cases) {
    std::string joined;
    for (const std::string &a : c.args) joined += a + " ";
    const Outcome run = zelbeam(c.args, dir);
    EXPECT_EQ(run.status, c.status) << joined << "\n" << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << joined << "\n" << run.err;
    EXPECT_EQ(run.err.rfind("zelbeam: ", 0), 0u) << joined;
    EXPECT_EQ(run.out, "") << joined;
  }
}

}  // namespace
