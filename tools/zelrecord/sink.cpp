#include "sink.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <algorithm>
#include <vector>

#include "h5sink.h"
#include "levels.h"
#include "unique_fd.h"

namespace zelrecord {
namespace {

using zeltool::UniqueFd;

std::string system_error(const std::string &what) {
  return what + ": " + std::strerror(errno);
}

int open_for_writing(const std::string &path, std::string *error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) *error = system_error("cannot open '" + path + "' for writing");
  return fd;
}

class RawSink : public Sink {
 public:
  // Only an owned descriptor is closed by finish: standard output stays open.
  RawSink(int fd, bool owned, std::string name)
      : fd_(fd), owned_(owned ? fd : -1), name_(std::move(name)) {}

  bool write(const unsigned char *data, int64_t frames, std::string *error) override {
    const size_t bytes = static_cast<size_t>(frames) * kFrameBytes;
    for (size_t done = 0; done < bytes;) {
      const ssize_t n = ::write(fd_, data + done, bytes - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = EIO;
        *error = system_error("writing " + name_);
        cut_to_whole_frames(written_ + done);
        return false;
      }
      done += static_cast<size_t>(n);
    }
    written_ += bytes;
    return true;
  }

  bool finish(std::string *error) override {
    fd_ = -1;
    if (!owned_.close()) {
      *error = system_error("closing " + name_);
      return false;
    }
    return true;
  }

 private:
  // A frame cut short by a failed write would make the file unreadable to zelnormalize.
  void cut_to_whole_frames(size_t bytes) {
    written_ = bytes / kFrameBytes * kFrameBytes;
    struct stat st {};
    if (bytes != written_ && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
      [[maybe_unused]] int ignored = ftruncate(fd_, static_cast<off_t>(written_));
    }
  }

  int fd_;
  UniqueFd owned_;
  std::string name_;
  size_t written_ = 0;
};

struct SndfileCloser {
  void operator()(SNDFILE *file) const { sf_close(file); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

class SndSink : public Sink {
 public:
  SndSink(SndfilePtr file, FileType type, std::string name)
      : file_(std::move(file)), type_(type), name_(std::move(name)) {}

  bool write(const unsigned char *data, int64_t frames, std::string *error) override {
    const int64_t room = type_ == FileType::wav ? kWavMaxFrames - written_ : frames;
    const int64_t now = std::min(frames, room);
    if (now > 0 && !write_pcm(data, now, error)) return false;
    if (now < frames) {
      *error = name_ + ": a WAV file holds at most 4 GiB; record longer with -t rf64";
      return false;
    }
    return true;
  }

  bool finish(std::string *error) override {
    const int status = sf_close(file_.release());
    if (status != 0) {
      *error = "closing " + name_ + ": " + sf_error_number(status);
      return false;
    }
    return true;
  }

 private:
  // libsndfile scales int samples from the full 32-bit range, so each 24-bit sample goes in the
  // top three bytes and comes out exact.
  bool write_pcm(const unsigned char *data, int64_t frames, std::string *error) {
    pcm_.resize(static_cast<size_t>(frames) * kChannels);
    for (int64_t f = 0; f < frames; ++f) {
      for (int c = 0; c < kChannels; ++c) {
        const uint32_t v = static_cast<uint32_t>(sample_at(data + f * kFrameBytes, c));
        pcm_[f * kChannels + c] = static_cast<int>(v << 8);
      }
    }
    const sf_count_t n = sf_writef_int(file_.get(), pcm_.data(), frames);
    if (n != frames) {
      *error = "writing " + name_ + ": " + sf_strerror(file_.get());
      return false;
    }
    written_ += frames;
    return true;
  }

  SndfilePtr file_;
  FileType type_;
  std::string name_;
  std::vector<int> pcm_;
  int64_t written_ = 0;
};

std::unique_ptr<Sink> open_sndfile(const std::string &path, FileType type, int rate,
                                   std::string *error) {
  UniqueFd fd(open_for_writing(path, error));
  if (fd.get() < 0) return nullptr;
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = kChannels;
  info.format = (type == FileType::rf64 ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | SF_FORMAT_PCM_24;
  SndfilePtr file(sf_open_fd(fd.get(), SFM_WRITE, &info, SF_TRUE));
  if (!file) {
    *error = "cannot write '" + path + "': " + sf_strerror(nullptr);
    return nullptr;
  }
  fd.release();
  // The header then always matches the data, so even a killed recorder leaves a valid file.
  sf_command(file.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  return std::make_unique<SndSink>(std::move(file), type, "'" + path + "'");
}

}  // namespace

std::unique_ptr<Sink> open_sink(const std::string &path, FileType type, int rate,
                                std::string *error) {
  if (type == FileType::h5) return open_h5_sink(path, rate, error);
  if (type != FileType::raw) return open_sndfile(path, type, rate, error);
  if (path == "-") return std::make_unique<RawSink>(STDOUT_FILENO, false, "standard output");
  const int fd = open_for_writing(path, error);
  if (fd < 0) return nullptr;
  return std::make_unique<RawSink>(fd, true, "'" + path + "'");
}

}  // namespace zelrecord
