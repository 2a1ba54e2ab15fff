// zelbeam: a beamforming map from a recording.
#include <zelbeam.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "npy.h"
#include "options.h"
#include "picture.h"
#include "recording.h"
#include "tool_main.h"

namespace {

using Geometry = std::unique_ptr<zelbeam_geometry_t, decltype(&zelbeam_geometry_free)>;
using Beam = std::unique_ptr<zelbeam_t, decltype(&zelbeam_delete)>;

int fail(const std::string &why) {
  std::fprintf(stderr, "zelbeam: %s\n", why.c_str());
  return 1;
}

std::string csv_of(const double *map, int nx, int ny, const zelbeam_grid_t &g) {
  std::string text = "x,y,z,level_db\n";
  char line[128];
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j) {
      std::snprintf(line, sizeof line, "%.6f,%.6f,%.6f,%.6f\n", g.x_min + i * g.increment,
                    g.y_min + j * g.increment, g.z, map[i * ny + j]);
      text += line;
    }
  return text;
}

std::string write_text(const std::string &path, const std::string &text) {
  std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "w"), std::fclose);
  if (!file || std::fwrite(text.data(), 1, text.size(), file.get()) != text.size() ||
      std::fclose(file.release()) != 0)
    return "cannot write '" + path + "': " + std::strerror(errno);
  return "";
}

std::string write_output(const zelbeam_cli::Options &o, const zelbeam_geometry_t *geometry,
                         const std::vector<double> &map, int nx, int ny,
                         const zelbeam_peak_t &peak) {
  using zelbeam_cli::OutputType;
  switch (o.output_type) {
    case OutputType::npy:
      if (!zelbeam_tools::write_npy(o.output, map, nx, ny))
        return "cannot write '" + o.output + "': " + std::strerror(errno);
      return "";
    case OutputType::csv: {
      return write_text(o.output, csv_of(map.data(), nx, ny, o.grid));
    }
    case OutputType::png: {
      zelbeam_cli::MapPicture picture{map.data(), nx, ny, o.grid, {}, peak};
      const int count = zelbeam_geometry_count(geometry, nullptr);
      for (int m = 0; m < count; ++m) {
        if (zelbeam_geometry_is_left_out(geometry, m, nullptr)) continue;
        double xyz[3] = {0, 0, 0};
        zelbeam_geometry_position(geometry, m, xyz, nullptr);
        picture.microphones.push_back({xyz[0], xyz[1]});
      }
      return zelbeam_cli::write_png(o.output, picture);
    }
    case OutputType::none:
      break;
  }
  return "";
}

int run(const zelbeam_cli::Options &o) {
  zelbeam_error err = ZELBEAM_OK;
  Geometry geometry(zelbeam_geometry_read(o.geometry.c_str(), &err), zelbeam_geometry_free);
  if (!geometry) return fail("geometry '" + o.geometry + "': " + zelbeam_strerror(err));

  zelbeam_cli::Recording recording;
  const zelbeam_cli::Selection selection{o.start_s, o.duration_s, o.raw_rate};
  if (std::string why = zelbeam_cli::read_recording(o.input, selection, &recording); !why.empty())
    return fail(why);
  if (o.rate_given && recording.rate != o.raw_rate)
    return fail("--rate " + std::to_string(o.raw_rate) + " differs from the recording's own " +
                std::to_string(recording.rate) + " Hz");

  zelbeam_settings_t settings = o.settings;
  settings.rate = recording.rate;
  Beam beam(zelbeam_create(geometry.get(), &o.grid, &settings, &err), zelbeam_delete);
  if (!beam) return fail(zelbeam_strerror(err));
  int nx = 0, ny = 0;
  std::vector<double> map(static_cast<size_t>(zelbeam_map_size(beam.get(), &nx, &ny, &err)));
  zelbeam_peak_t peak{};
  zelbeam_map_signal(beam.get(), recording.samples.data(), recording.frames, recording.channels,
                     o.freq, o.band, map.data(), &peak, &err);
  if (err == ZELBEAM_ECHANNELS)
    return fail("the recording has " + std::to_string(recording.channels) +
                " channels, the geometry " +
                std::to_string(zelbeam_geometry_count(geometry.get(), nullptr)) + " microphones");
  if (err != ZELBEAM_OK) return fail(zelbeam_strerror(err));
  if (std::string why = write_output(o, geometry.get(), map, nx, ny, peak); !why.empty())
    return fail(why);
  std::printf("peak %.3f %.3f %.3f %.3f dB\n", peak.x, peak.y, peak.z, peak.level_db);
  return std::fflush(stdout) == 0 ? 0 : fail("cannot write the peak to standard output");
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  zelbeam_cli::Options options;
  const std::string why = zelbeam_cli::parse(args, &options);
  const int status = zeltool::settle_command_line("zelbeam", why, options.help, zelbeam_cli::usage);
  if (status >= 0) return status;
  return run(options);
}
