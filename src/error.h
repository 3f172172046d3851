// The one error type of the core, and the result types built on it.
#pragma once

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace quelvane {

// The numbering is shared with the Python exception table and must never change.
enum class ErrorKind : std::uint8_t {
  Io = 0,
  InvalidMagic = 1,
  UnsupportedVersion = 2,
  Mmap = 3,
  Compression = 4,
  Decompression = 5,
  InvalidData = 6,
  NotFound = 7,
  Expired = 8,
  AlreadyExists = 9,
  SegmentFull = 10,
  QueueAlreadyOpen = 11,
  QueueNotOpen = 12,
  ConsumerGroupNotFound = 13,
  ConsumerGroupExists = 14,
  QueueClosed = 15,
  PendingFull = 16,
};

inline constexpr int kErrorKindCount = 17;

class Error {
 public:
  // An operating-system failure: displayed as "<C-locale message> (os error N)".
  static Error os(int code);
  // A failure of the I/O layer that has no errno behind it.
  static Error io(std::string text);
  static Error invalid_magic() { return Error(ErrorKind::InvalidMagic, {}); }
  static Error unsupported_version(std::uint16_t version);
  static Error mmap(std::string m) { return Error(ErrorKind::Mmap, std::move(m)); }
  static Error compression(std::string m) { return Error(ErrorKind::Compression, std::move(m)); }
  static Error decompression(std::string m) { return Error(ErrorKind::Decompression, std::move(m)); }
  static Error invalid_data(std::string m) { return Error(ErrorKind::InvalidData, std::move(m)); }
  static Error not_found(std::string m) { return Error(ErrorKind::NotFound, std::move(m)); }
  static Error expired(std::string m) { return Error(ErrorKind::Expired, std::move(m)); }
  static Error already_exists(std::string m) { return Error(ErrorKind::AlreadyExists, std::move(m)); }
  static Error segment_full() { return Error(ErrorKind::SegmentFull, {}); }
  static Error queue_already_open(std::string m) { return Error(ErrorKind::QueueAlreadyOpen, std::move(m)); }
  static Error queue_not_open(std::string m) { return Error(ErrorKind::QueueNotOpen, std::move(m)); }
  static Error consumer_group_not_found(std::string m) {
    return Error(ErrorKind::ConsumerGroupNotFound, std::move(m));
  }
  static Error consumer_group_exists(std::string m) {
    return Error(ErrorKind::ConsumerGroupExists, std::move(m));
  }
  static Error queue_closed(std::string m) { return Error(ErrorKind::QueueClosed, std::move(m)); }
  static Error pending_full(std::string m) { return Error(ErrorKind::PendingFull, std::move(m)); }

  ErrorKind kind() const { return kind_; }
  // The payload as text: the message, the I/O text, the version in decimal; empty for the
  // two kinds without payload.
  const std::string& payload() const { return payload_; }
  // The errno of an operating-system I/O error, 0 otherwise.
  int os_code() const { return os_code_; }
  std::uint16_t version() const { return version_; }

  // The display text: the kind's fixed prefix followed by the payload.
  std::string display() const;

  bool operator==(const Error&) const = default;

 private:
  Error(ErrorKind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

  ErrorKind kind_;
  std::string payload_;
  int os_code_ = 0;
  std::uint16_t version_ = 0;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

// The error of the last failing POSIX call, taken from errno.
std::unexpected<Error> fail_errno();

// A broken invariant. Never reported as an Error: it unwinds to the module's entry guard,
// which raises it as PanicException. Each thread counts the ones it holds, so that what is
// left behind by an unwinding can tell a broken invariant (the state may be half-updated) from
// any other exception, above all an allocation that failed, which the code it leaves is
// written to survive.
class InternalFailure : public std::logic_error {
 public:
  explicit InternalFailure(const std::string& what);
  explicit InternalFailure(const char* what);
  InternalFailure(const InternalFailure& o) noexcept;
  InternalFailure& operator=(const InternalFailure&) noexcept = default;
  ~InternalFailure() override;

  // Whether an internal failure is unwinding: more exceptions are in flight than
  // `in_flight_before` (std::uncaught_exceptions() taken earlier) and this thread holds one.
  static bool unwinding(int in_flight_before) noexcept;
};

[[noreturn]] void internal_failure(const std::string& what);

}  // namespace quelvane

// Propagates the error of an expected-returning expression; yields its value otherwise.
//   auto seg = QV_TRY(DataSegment::open(...));
//   QV_TRY(file.sync());
#define QV_TRY(expr)                                                        \
  ({                                                                        \
    auto&& qv_try_result_ = (expr);                                         \
    if (!qv_try_result_) [[unlikely]]                                       \
      return ::std::unexpected<::quelvane::Error>(                          \
          ::std::move(qv_try_result_).error());                             \
    ::std::move(qv_try_result_).value();                                    \
  })

// A broken invariant is checked once, where it is relied on.
#define QV_ASSERT(cond, what)                                               \
  do {                                                                      \
    if (!(cond)) [[unlikely]]                                               \
      ::quelvane::internal_failure(::std::string("invariant broken: ") + (what)); \
  } while (0)
