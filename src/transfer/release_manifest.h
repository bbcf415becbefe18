#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/file_system.h"
#include "transfer/download_file.h"
#include "transfer/transfer_control.h"

namespace kw {

// A signed release: what its publisher signed of every file on the update server. One file at
// the server's root (kManifestPath), UTF-8, every line ending in LF:
//
//   KW_Update manifest 2
//   sequence 17                       grows with every manifest signed, re-signings included
//   version 2.51                      the product's version, for the record and the messages
//   expires 2027-06-06T12:00:00Z      UTC
//   release /releases/2.51            the folder on the server that holds the release's files
//   <SHA-256, 64 hex digits> <size in bytes> <path of a file inside the release folder>
//   ...
//   signature <base64 of a DER-encoded ECDSA P-256 signature>
//   ...
//
// The signed text is every byte before the first "signature " line; each signature is ECDSA
// P-256 over its SHA-256, as `openssl dgst -sha256 -sign` makes it, one per publisher's key. A
// file's path ("/jdatas3/KW.exe", "/tavkorea/data/지역01.Tx$") is its route's server path and
// its name, not percent-encoded, and runs to the end of the line, blanks included; the file is
// served at the release folder followed by that path. A publish puts the files of a new release
// folder in place first and replaces the manifest last, in one rename, so that a client sees
// one release whole whenever it looks.
inline constexpr std::string_view kManifestPath = "/kw_update.manifest";

struct ManifestEntry {
  std::uint64_t size = 0;
  Sha256Digest sha256{};
};

class ReleaseManifest {
 public:
  // Parses a manifest's signed text. Raises error::kManifestRefused, "The signed manifest is
  // malformed at line N: ...", for a line out of place or not as above, or a path listed twice.
  static ReleaseManifest Parse(std::string_view signed_text);

  std::uint64_t sequence() const { return sequence_; }
  const std::string& version() const { return version_; }
  Clock::UtcTime expires() const { return expires_; }
  // The release folder's path on the server: "/releases/2.51".
  const std::string& release_folder() const { return release_folder_; }
  // The bytes the signatures cover.
  const std::string& signed_text() const { return signed_text_; }

  // The entry of the file at `server_path`, its whole path on the server (the release folder,
  // then the file's path), compared exactly; nullptr when the manifest does not list it.
  const ManifestEntry* Find(std::string_view server_path) const;

 private:
  std::uint64_t sequence_ = 0;
  std::string version_;
  Clock::UtcTime expires_;
  std::string release_folder_;
  std::string signed_text_;
  std::map<std::string, ManifestEntry, std::less<>> entries_;
};

// A manifest's expiry with the allowance a PC's clock gets: one day past it.
inline constexpr std::chrono::hours kExpiryAllowance{24};

// The manifest of a manifest file as served, once it passes every check a run makes before it
// downloads anything, in this order; each refusal is error::kManifestRefused:
// - "The signed manifest is malformed..." (its signatures; then its signed text, by Parse);
// - "The signed manifest's signature is bad...": none of its signatures was made with one of
//   `keys` over its signed text;
// - "The signed manifest has expired...": `now` is more than kExpiryAllowance past its expiry
//   (its date and version, and the PC's date, are named);
// - against `last_accepted`, the manifest this PC accepted last (none on a new PC): "The signed
//   manifest is older than ..." for a lower sequence number, "The signed manifest differs from
//   ..." for the same number with another signed text (the numbers and versions are named).
ReleaseManifest AcceptSignedManifest(std::string_view file, std::span<const P256PublicKey> keys,
                                     Crypto& crypto,
                                     const std::optional<ReleaseManifest>& last_accepted,
                                     Clock::UtcTime now);

// Fetches `origin` + kManifestPath through `inet1` (set up and idle) and returns its bytes.
// Raises error::kManifestRefused with "The signed manifest is missing..." when the server
// answers 404 or 410, "... could not be fetched..." for another status outside 200-299, and
// "... is malformed..." past a size no manifest reaches; another failure of the transfer passes
// on as it is. Nothing is written to disk.
std::string FetchManifestFile(TransferControl& inet1, EventPump& pump, std::string_view origin,
                              std::string_view request_headers);

// The record of the manifest this PC accepted last, kept at `path` as its signed text. Reading
// gives nullopt when there is none, or when what is there cannot be read as one (a record
// damaged by hand counts as none, as a deleted one does). Writing replaces the record whole or
// not at all (a file beside it, synced, renamed over it) and raises the file system's failure.
std::optional<ReleaseManifest> ReadManifestRecord(FileSystem& files, std::string_view path);
void WriteManifestRecord(FileSystem& files, std::string_view path, const ReleaseManifest& manifest);

// The keys a build compiled in: base64 bodies of PEM "PUBLIC KEY"s (SubjectPublicKeyInfo),
// separated by commas. nullopt unless each is an uncompressed ECDSA P-256 key.
std::optional<std::vector<P256PublicKey>> P256KeysFromBase64(std::string_view spki_base64_list);

// r and s of a DER-encoded ECDSA signature (SEQUENCE of two INTEGERs); nullopt when it is not
// one, or either number does not fit 32 bytes.
std::optional<P256Signature> P256SignatureFromDer(std::span<const std::byte> der);

// A digest as a manifest writes it: 64 lower-case hex digits.
std::string Sha256Hex(const Sha256Digest& digest);

}  // namespace kw
