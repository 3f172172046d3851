#include "error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>

namespace quelvane {
namespace {

TEST(ErrorDisplay, EveryKindHasItsPrefix) {
  struct Case {
    Error error;
    ErrorKind kind;
    const char* text;
  };
  const Case cases[] = {
      {Error::io("short write"), ErrorKind::Io, "I/O error: short write"},
      {Error::invalid_magic(), ErrorKind::InvalidMagic, "invalid file magic: expected b\"QVAN\""},
      {Error::unsupported_version(7), ErrorKind::UnsupportedVersion, "unsupported version: 7"},
      {Error::mmap("x"), ErrorKind::Mmap, "mmap error: x"},
      {Error::compression("x"), ErrorKind::Compression, "compression error: x"},
      {Error::decompression("x"), ErrorKind::Decompression, "decompression error: x"},
      {Error::invalid_data("x"), ErrorKind::InvalidData, "invalid data: x"},
      {Error::not_found("x"), ErrorKind::NotFound, "not found: x"},
      {Error::expired("x"), ErrorKind::Expired, "expired: x"},
      {Error::already_exists("x"), ErrorKind::AlreadyExists, "already exists: x"},
      {Error::segment_full(), ErrorKind::SegmentFull, "segment full (expansion needed)"},
      {Error::queue_already_open("x"), ErrorKind::QueueAlreadyOpen, "queue already open: x"},
      {Error::queue_not_open("x"), ErrorKind::QueueNotOpen, "queue not open: x"},
      {Error::consumer_group_not_found("x"), ErrorKind::ConsumerGroupNotFound, "consumer group not found: x"},
      {Error::consumer_group_exists("x"), ErrorKind::ConsumerGroupExists, "consumer group already exists: x"},
      {Error::queue_closed("x"), ErrorKind::QueueClosed, "queue closed: x"},
      {Error::pending_full("x"), ErrorKind::PendingFull, "pending entries full: x"},
  };
  static_assert(std::size(cases) == kErrorKindCount);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(static_cast<int>(cases[i].error.kind()), static_cast<int>(i));
    EXPECT_EQ(cases[i].error.kind(), cases[i].kind);
    EXPECT_EQ(cases[i].error.display(), cases[i].text);
  }
}

TEST(ErrorDisplay, OsErrorsUseTheCLocaleMessageWhateverTheLocale) {
  const char* previous = std::setlocale(LC_ALL, nullptr);
  std::string saved = previous ? previous : "C";
  std::setlocale(LC_ALL, "");  // whatever the environment asks for
  Error e = Error::os(EISDIR);
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(e.display(), "I/O error: Is a directory (os error 21)");
  EXPECT_EQ(e.os_code(), EISDIR);
  EXPECT_EQ(Error::os(99999).display(), "I/O error: Unknown error 99999 (os error 99999)");
}

Result<int> half(int v) {
  if (v % 2 != 0) return fail(Error::invalid_data("odd"));
  return v / 2;
}

Result<int> quarter(int v) {
  int h = QV_TRY(half(v));
  return QV_TRY(half(h));
}

TEST(ErrorTry, PropagatesTheFirstFailureAndYieldsValues) {
  EXPECT_EQ(quarter(8).value(), 2);
  ASSERT_FALSE(quarter(6).has_value());
  EXPECT_EQ(quarter(6).error().display(), "invalid data: odd");
}

}  // namespace
}  // namespace quelvane
