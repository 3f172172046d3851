#include "error.h"

#include <cerrno>
#include <cstring>
#include <exception>

namespace quelvane {

namespace {

// strerror depends on the locale; the message must be the same whatever the caller set.
std::string c_locale_message(int code) {
  if (const char* text = strerrordesc_np(code)) return text;
  return "Unknown error " + std::to_string(code);
}

const char* prefix_of(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Io: return "I/O error: ";
    case ErrorKind::InvalidMagic: return "invalid file magic: expected b\"QVAN\"";
    case ErrorKind::UnsupportedVersion: return "unsupported version: ";
    case ErrorKind::Mmap: return "mmap error: ";
    case ErrorKind::Compression: return "compression error: ";
    case ErrorKind::Decompression: return "decompression error: ";
    case ErrorKind::InvalidData: return "invalid data: ";
    case ErrorKind::NotFound: return "not found: ";
    case ErrorKind::Expired: return "expired: ";
    case ErrorKind::AlreadyExists: return "already exists: ";
    case ErrorKind::SegmentFull: return "segment full (expansion needed)";
    case ErrorKind::QueueAlreadyOpen: return "queue already open: ";
    case ErrorKind::QueueNotOpen: return "queue not open: ";
    case ErrorKind::ConsumerGroupNotFound: return "consumer group not found: ";
    case ErrorKind::ConsumerGroupExists: return "consumer group already exists: ";
    case ErrorKind::QueueClosed: return "queue closed: ";
    case ErrorKind::PendingFull: return "pending entries full: ";
  }
  internal_failure("unknown error kind");
}

}  // namespace

Error Error::os(int code) {
  Error e(ErrorKind::Io, c_locale_message(code) + " (os error " + std::to_string(code) + ")");
  e.os_code_ = code;
  return e;
}

Error Error::io(std::string text) { return Error(ErrorKind::Io, std::move(text)); }

Error Error::unsupported_version(std::uint16_t version) {
  Error e(ErrorKind::UnsupportedVersion, std::to_string(version));
  e.version_ = version;
  return e;
}

std::string Error::display() const { return prefix_of(kind_) + payload_; }

std::unexpected<Error> fail_errno() { return fail(Error::os(errno)); }

namespace {
thread_local int internal_failures_held = 0;
}  // namespace

InternalFailure::InternalFailure(const std::string& what) : std::logic_error(what) { ++internal_failures_held; }
InternalFailure::InternalFailure(const char* what) : std::logic_error(what) { ++internal_failures_held; }
InternalFailure::InternalFailure(const InternalFailure& o) noexcept : std::logic_error(o) { ++internal_failures_held; }
InternalFailure::~InternalFailure() { --internal_failures_held; }

bool InternalFailure::unwinding(int in_flight_before) noexcept {
  return std::uncaught_exceptions() > in_flight_before && internal_failures_held > 0;
}

void internal_failure(const std::string& what) { throw InternalFailure(what); }

}  // namespace quelvane
