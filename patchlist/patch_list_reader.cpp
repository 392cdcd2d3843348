#include "patchlist/patch_list_reader.h"

#include "app/failure.h"
#include "platform/platform.h"

namespace tarnwick {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
constexpr char kCtrlZ = 26;

bool EndsOrInterruptsText(char byte) {
  return byte == kLineFeed || byte == kCarriageReturn || byte == kCtrlZ;
}

}  // namespace

PatchListReader::~PatchListReader() {
  if (fd_ >= 0) platform::Close(fd_);
}

void PatchListReader::OpenList(const std::string& name) {
  const platform::Result opened = platform::OpenSharedForReading(name);
  if (opened.error != 0) {
    StorePendingIoCode(opened.error);
  } else {
    fd_ = static_cast<int>(opened.value);
  }
  CheckIo();
}

PatchListReader::Fill PatchListReader::FillIfEmpty() {
  if (begin_ < end_) return Fill::Bytes;
  const platform::Result read = platform::ReadSome(fd_, buffer_, kBufferSize);
  if (read.error == 0 && read.value == 0) return Fill::EndOfFile;
  if (read.error != 0) {
    StorePendingIoCode(read.error);
    return Fill::Failed;
  }
  begin_ = 0;
  end_ = static_cast<size_t>(read.value);
  return Fill::Bytes;
}

void PatchListReader::AppendOrdinaryBytes(std::string& text) {
  size_t stop = begin_;
  while (stop < end_ && !EndsOrInterruptsText(buffer_[stop])) ++stop;
  text.append(buffer_ + begin_, stop - begin_);
  begin_ = stop;
}

std::string PatchListReader::NextLine() {
  std::string text;
  while (!end_met_) {
    Fill fill = FillIfEmpty();
    if (fill == Fill::Failed) break;
    if (fill == Fill::EndOfFile) {
      end_met_ = true;
      break;
    }
    const char byte = buffer_[begin_];
    if (byte == kLineFeed) {
      ++begin_;
      break;
    }
    if (byte == kCtrlZ) {
      end_met_ = true;
      break;
    }
    if (byte != kCarriageReturn) {
      AppendOrdinaryBytes(text);
      continue;
    }
    // A CR ends the line only when a LF follows, which may lie beyond this buffer.
    ++begin_;
    fill = FillIfEmpty();
    if (fill == Fill::Failed) break;
    if (fill == Fill::EndOfFile) {
      end_met_ = true;
      break;
    }
    if (buffer_[begin_] == kLineFeed) {
      ++begin_;
      break;
    }
  }
  CheckIo();
  return text;
}

bool PatchListReader::AtEnd() {
  if (!end_met_) {
    const Fill fill = FillIfEmpty();
    if (fill == Fill::EndOfFile || (fill == Fill::Bytes && buffer_[begin_] == kCtrlZ)) {
      end_met_ = true;
    }
  }
  CheckIo();
  return end_met_;
}

void PatchListReader::CloseList() {
  const int error = platform::Close(fd_);
  fd_ = -1;
  if (error != 0) StorePendingIoCode(error);
  CheckIo();
}

}  // namespace tarnwick
