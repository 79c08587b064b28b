// Arranging the simulated signature messages beyond what sim_crypt_control.h
// offers: signer records given as raw bytes, nested signatures of a chosen
// length, failures of single message operations, and what was fed to messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/sim_crypt_control.h"
#include "platform/sim/sim_windows.h"

namespace sim {

// The file (which must exist) carries a signature whose signer record is a
// fixed head followed by `bytes`. The head is a CMSG_SIGNER_INFO with no issuer
// or serial and one unauthenticated attribute, the nested signature, of one
// value; the head's size is a multiple of 8 and the record starts at a multiple
// of 8, so a position within `bytes` has the same residue mod 8 as its address.
// The value's pbData is the address `nestedValueOffset` bytes from the start of
// `bytes`, wherever that lands: inside `bytes` the value runs to the record's
// end; before the record or past its end it is an address the walk must not
// read (and its cbData is 0). The signature's store holds `certs`. The
// attribute counts `valueCount` values; with 0 its value table is still set,
// as a decoder may leave it for an empty SET.
void SignFileWithRawSignerRecord(const std::wstring& path, std::vector<uint8_t> bytes,
                                 int64_t nestedValueOffset, std::vector<CertId> certs = {},
                                 DWORD valueCount = 1);
// As a nestedValueOffset: the attribute counts its value but its value table
// is null.
constexpr int64_t kNoValueTable = INT64_MIN;

// The shortest SEQUENCE content a simulated nested signature can have.
constexpr uint16_t kMinNestedContentLength = 27;
// Like EncodeNestedSignature, stretched with padding so that the length L in
// bytes 2 and 3 is exactly contentLength (raised to the minimum if below it);
// the encoding is L + 4 bytes long.
std::vector<uint8_t> EncodeNestedSignatureOfLength(const SignatureDesc& signature,
                                                   uint16_t contentLength);

// Single failures of message operations: the nth call of that kind from now
// (1 = the next one) fails and leaves `error` as the last error.
enum class MsgFailure {
  kQueryObject,     // CryptQueryObject
  kSignerInfoSize,  // CryptMsgGetParam(CMSG_SIGNER_INFO_PARAM) without a buffer
  kSignerInfoZero,  // the same query succeeds but reports a size of 0
  kSignerInfoFill,  // CryptMsgGetParam(CMSG_SIGNER_INFO_PARAM) with a buffer
  kOpenToDecode,    // CryptMsgOpenToDecode
  kOpenStore,       // CertOpenStore(CERT_STORE_PROV_MSG)
};
void FailMessageOperation(MsgFailure operation, unsigned nth, DWORD error);

// The nth fill of a signer record from now (1 = the next) writes the record
// whole but reports its size `delta` bytes off (-1: a byte fewer).
void MisreportSignerInfoSize(unsigned nth, int delta);

// What one CryptMsgUpdate call was given, and whether the bytes decoded.
struct MessageUpdate {
  const BYTE* data;
  DWORD size;
  BOOL final;
  bool decoded;
};
const std::vector<MessageUpdate>& MessageUpdates();

}  // namespace sim
