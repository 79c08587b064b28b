// The message part of the simulated CryptoAPI: signatures embedded in files,
// signature messages and their signer records, nested signatures, and the
// store of a message's certificates.
//
// A signer record is laid out the way the verifier's walk expects of the
// platform: the CMSG_SIGNER_INFO first, then its issuer, serial and algorithm
// identifiers, then each attribute table followed, attribute by attribute, by
// the identifier string, the value table and the values. Each value starts at
// the first address at or after the end of the one before that is a multiple
// of 8, so stepping from one value to the next by the walk's rule lands on it,
// and the identifier string of the next attribute ("1." ...) ends the walk.
//
// A simulated nested signature is a ContentInfo with a real 15-byte header
// (30 82 LL LL 06 09 <signedData>), then [0] A0 82 ll ll, an OCTET STRING
// 04 82 ll ll holding "SIMN" and the big-endian index of the signature in this
// part's registry, and zero padding up to the length written in the header.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_crypt_control.h"
#include "platform/sim/sim_internal.h"
#include "platform/sim/sim_msg_control.h"

namespace sim {
namespace {

constexpr DWORD kErrorInvalidHandle = 6;
constexpr DWORD kErrorMoreData = 234;
constexpr DWORD kMessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr uint8_t kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr uint8_t kNestedMagic[] = {'S', 'I', 'M', 'N'};
constexpr char kRsaOid[] = "1.2.840.113549.1.1.1";

// What a message (or a signed file) carries.
struct Content {
  bool raw = false;
  SignatureDesc signature;         // when !raw
  std::vector<uint8_t> rawBytes;   // when raw
  int64_t rawValueOffset = 0;
  DWORD rawValueCount = 1;
  std::vector<CertId> rawCerts;

  const std::vector<CertId>& Certs() const { return raw ? rawCerts : signature.certs; }
};

struct Message {
  bool decoded = false;
  Content content;
};

struct Failure {
  unsigned countdown = 0;
  DWORD error = 0;
};

struct MsgWorld {
  std::map<std::wstring, Content> signedFiles;  // by path key
  std::vector<SignatureDesc> nestedRegistry;
  std::map<HCRYPTMSG, std::unique_ptr<Message>> messages;
  std::map<MsgFailure, Failure> failures;
  std::vector<MessageUpdate> updates;
  unsigned misreportCountdown = 0;
  int misreportBy = 0;
};

MsgWorld& M() {
  static MsgWorld world;
  return world;
}

bool TakeFailure(MsgFailure operation, DWORD* error) {
  auto it = M().failures.find(operation);
  if (it == M().failures.end() || it->second.countdown == 0) return false;
  if (--it->second.countdown != 0) return false;
  *error = it->second.error;
  return true;
}

// Places the parts of a record one after another. With a null output it only
// measures; positions are aligned on addresses, taking the buffer's own
// address as the base.
class RecordWriter {
 public:
  RecordWriter(uintptr_t base, uint8_t* out) : base_(base), out_(out) {}

  size_t Reserve(size_t bytes, size_t alignment) {
    const size_t misalignment = (base_ + cursor_) % alignment;
    const size_t position = cursor_ + (misalignment == 0 ? 0 : alignment - misalignment);
    cursor_ = position + bytes;
    return position;
  }
  template <typename T>
  T* PointerTo(size_t position) const {
    return out_ ? reinterpret_cast<T*>(out_ + position) : nullptr;
  }
  void Put(size_t position, const void* data, size_t bytes) {
    if (out_ != nullptr && bytes != 0) std::memcpy(out_ + position, data, bytes);
  }
  size_t PutBytes(const std::vector<uint8_t>& bytes, size_t alignment) {
    const size_t position = Reserve(bytes.size(), alignment);
    Put(position, bytes.data(), bytes.size());
    return position;
  }
  size_t PutString(const std::string& text) {
    const size_t position = Reserve(text.size() + 1, 1);
    Put(position, text.c_str(), text.size() + 1);
    return position;
  }
  size_t size() const { return cursor_; }

 private:
  uintptr_t base_;
  uint8_t* out_;
  size_t cursor_ = 0;
};

CRYPT_ATTRIBUTES PutAttributes(RecordWriter& w, const std::vector<AttributeDesc>& attributes) {
  if (attributes.empty()) return CRYPT_ATTRIBUTES{0, nullptr};
  const size_t table =
      w.Reserve(sizeof(CRYPT_ATTRIBUTE) * attributes.size(), alignof(CRYPT_ATTRIBUTE));
  for (size_t i = 0; i < attributes.size(); ++i) {
    const AttributeDesc& given = attributes[i];
    const size_t oid = w.PutString(given.oid);
    const size_t blobs =
        w.Reserve(sizeof(CRYPT_ATTR_BLOB) * given.values.size(), alignof(CRYPT_ATTR_BLOB));
    for (size_t j = 0; j < given.values.size(); ++j) {
      const size_t value = w.PutBytes(given.values[j], 8);
      const CRYPT_ATTR_BLOB blob{static_cast<DWORD>(given.values[j].size()),
                                 w.PointerTo<BYTE>(value)};
      w.Put(blobs + j * sizeof(CRYPT_ATTR_BLOB), &blob, sizeof blob);
    }
    // rgValue points where the value table is laid out even when it counts no
    // values: a decoder need not null it, so only cValue may decide.
    const CRYPT_ATTRIBUTE attribute{w.PointerTo<char>(oid),
                                    static_cast<DWORD>(given.values.size()),
                                    w.PointerTo<CRYPT_ATTR_BLOB>(blobs)};
    w.Put(table + i * sizeof(CRYPT_ATTRIBUTE), &attribute, sizeof attribute);
  }
  return CRYPT_ATTRIBUTES{static_cast<DWORD>(attributes.size()),
                          w.PointerTo<CRYPT_ATTRIBUTE>(table)};
}

void LayOutSigner(RecordWriter& w, const SignerDesc& signer) {
  const size_t head = w.Reserve(sizeof(CMSG_SIGNER_INFO), alignof(CMSG_SIGNER_INFO));
  CMSG_SIGNER_INFO info = {};
  info.dwVersion = 1;
  const std::vector<uint8_t> issuer(signer.issuer.begin(), signer.issuer.end());
  const size_t issuerAt = w.PutBytes(issuer, 1);
  info.Issuer = {static_cast<DWORD>(issuer.size()), w.PointerTo<BYTE>(issuerAt)};
  const size_t serialAt = w.PutBytes(signer.serial, 1);
  info.SerialNumber = {static_cast<DWORD>(signer.serial.size()), w.PointerTo<BYTE>(serialAt)};
  info.HashAlgorithm.pszObjId = w.PointerTo<char>(w.PutString(signer.digestOid));
  info.HashEncryptionAlgorithm.pszObjId = w.PointerTo<char>(w.PutString(kRsaOid));
  info.AuthAttrs = PutAttributes(w, signer.authAttrs);
  info.UnauthAttrs = PutAttributes(w, signer.unauthAttrs);
  w.Put(head, &info, sizeof info);
}

void LayOutRaw(RecordWriter& w, const Content& content) {
  const size_t head = w.Reserve(sizeof(CMSG_SIGNER_INFO), alignof(CMSG_SIGNER_INFO));
  const size_t attributeAt = w.Reserve(sizeof(CRYPT_ATTRIBUTE), alignof(CRYPT_ATTRIBUTE));
  const size_t blobAt = w.Reserve(sizeof(CRYPT_ATTR_BLOB), alignof(CRYPT_ATTR_BLOB));
  const size_t oidAt = w.PutString(szOID_NESTED_SIGNATURE);
  const size_t bytesAt = w.PutBytes(content.rawBytes, 8);

  // The address is formed in unsigned arithmetic: it may deliberately lie
  // outside the record.
  const int64_t offset = content.rawValueOffset;
  const int64_t size = static_cast<int64_t>(content.rawBytes.size());
  const uintptr_t value = reinterpret_cast<uintptr_t>(w.PointerTo<BYTE>(bytesAt)) +
                          static_cast<uintptr_t>(offset);
  const CRYPT_ATTR_BLOB blob{
      static_cast<DWORD>(offset >= 0 && offset <= size ? size - offset : 0),
      w.PointerTo<BYTE>(bytesAt) ? reinterpret_cast<BYTE*>(value) : nullptr};
  w.Put(blobAt, &blob, sizeof blob);
  const CRYPT_ATTRIBUTE attribute{
      w.PointerTo<char>(oidAt), content.rawValueCount,
      offset == kNoValueTable ? nullptr : w.PointerTo<CRYPT_ATTR_BLOB>(blobAt)};
  w.Put(attributeAt, &attribute, sizeof attribute);
  CMSG_SIGNER_INFO info = {};
  info.dwVersion = 1;
  info.UnauthAttrs = {1, w.PointerTo<CRYPT_ATTRIBUTE>(attributeAt)};
  w.Put(head, &info, sizeof info);
}

void LayOut(RecordWriter& w, const Content& content) {
  if (content.raw) {
    LayOutRaw(w, content);
  } else {
    LayOutSigner(w, content.signature.signer);
  }
}

size_t MeasureAt(uintptr_t base, const Content& content) {
  RecordWriter measure(base, nullptr);
  LayOut(measure, content);
  return measure.size();
}

// ---- nested-signature encoding: a reader that never reads past its range

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Expect(uint8_t byte) {
    if (size_ < 1 || data_[0] != byte) return false;
    Skip(1);
    return true;
  }
  bool ExpectBytes(const uint8_t* bytes, size_t count) {
    if (size_ < count || std::memcmp(data_, bytes, count) != 0) return false;
    Skip(count);
    return true;
  }
  // A long-form two-byte length that must cover exactly what is left.
  bool ExpectLengthOfRest() {
    if (!Expect(0x82) || size_ < 2) return false;
    const size_t length = (static_cast<size_t>(data_[0]) << 8) | data_[1];
    Skip(2);
    return length == size_;
  }
  bool ReadUint32(uint32_t* value) {
    if (size_ < 4) return false;
    *value = (static_cast<uint32_t>(data_[0]) << 24) | (static_cast<uint32_t>(data_[1]) << 16) |
             (static_cast<uint32_t>(data_[2]) << 8) | data_[3];
    Skip(4);
    return true;
  }

 private:
  void Skip(size_t count) {
    data_ += count;
    size_ -= count;
  }
  const uint8_t* data_;
  size_t size_;
};

// Index into the registry of the nested signature these bytes encode, or -1.
long DecodeNested(const uint8_t* data, size_t size) {
  Reader r(data, size);
  uint32_t index = 0;
  if (!r.Expect(0x30) || !r.ExpectLengthOfRest() || !r.Expect(0x06) || !r.Expect(0x09) ||
      !r.ExpectBytes(kSignedDataOid, sizeof kSignedDataOid) || !r.Expect(0xA0) ||
      !r.ExpectLengthOfRest() || !r.Expect(0x04) || !r.ExpectLengthOfRest() ||
      !r.ExpectBytes(kNestedMagic, sizeof kNestedMagic) || !r.ReadUint32(&index)) {
    return -1;
  }
  if (index >= M().nestedRegistry.size()) return -1;
  return static_cast<long>(index);
}

// An OCTET STRING holding the simulated SHA-256 of a DER element's content
// (what follows its tag and length).
std::vector<uint8_t> MessageDigestValue(const std::vector<uint8_t>& element) {
  size_t header = 2;
  if (element.size() > 1 && (element[1] & 0x80)) header += element[1] & 0x7F;
  const std::vector<uint8_t> body(element.begin() + std::min(header, element.size()), element.end());
  std::vector<uint8_t> digest = SimulatedDigest(CALG_SHA_256, body);
  digest.insert(digest.begin(), {0x04, static_cast<uint8_t>(digest.size())});
  return digest;
}

void PutLength(std::vector<uint8_t>& out, size_t at, size_t length) {
  out[at] = 0x82;
  out[at + 1] = static_cast<uint8_t>(length >> 8);
  out[at + 2] = static_cast<uint8_t>(length & 0xFF);
}

// The content as the message holds it.
std::vector<uint8_t> ContentOf(const SignatureDesc& signature) {
  return signature.content.empty() ? EncodeIndirectData(signature.indirect) : signature.content;
}

Message* LiveMessage(HCRYPTMSG handle) {
  auto it = M().messages.find(handle);
  return it == M().messages.end() ? nullptr : it->second.get();
}

HCRYPTMSG NewMessage(std::unique_ptr<Message> message) {
  HCRYPTMSG handle = message.get();
  M().messages.emplace(handle, std::move(message));
  internal::Count(internal::Counter::kMessages, +1);
  return handle;
}

// ---- crypt32 exports

BOOL WINAPI SimCryptQueryObject(DWORD objectType, const void* object, DWORD contentTypes,
                                DWORD formatTypes, DWORD flags, DWORD*, DWORD*, DWORD*,
                                HCERTSTORE* certStore, HCRYPTMSG* msg, const void** context) {
  const wchar_t* path = static_cast<const wchar_t*>(object);
  internal::TraceLine("CryptQueryObject " + (path ? Narrow(path) : std::string("(null)")));
  if (context != nullptr) *context = nullptr;
  DWORD error = 0;
  if (TakeFailure(MsgFailure::kQueryObject, &error)) {
    SetLastError(error);
    return FALSE;
  }
  // Only what the verifier asks for is understood: an embedded PKCS #7
  // signature of a file, in binary form.
  if (objectType != CERT_QUERY_OBJECT_FILE || path == nullptr ||
      contentTypes != CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED ||
      formatTypes != CERT_QUERY_FORMAT_FLAG_BINARY || flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!internal::IsFile(path)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  auto it = M().signedFiles.find(internal::PathKey(path));
  if (it == M().signedFiles.end()) {
    SetLastError(static_cast<DWORD>(CRYPT_E_NO_MATCH));  // what an unsigned image gives
    return FALSE;
  }
  if (certStore != nullptr) *certStore = internal::OpenStoreOf(it->second.Certs());
  if (msg != nullptr) {
    auto message = std::make_unique<Message>();
    message->decoded = true;
    message->content = it->second;
    *msg = NewMessage(std::move(message));
  }
  return TRUE;
}

BOOL WINAPI SimCryptMsgGetParam(HCRYPTMSG msg, DWORD paramType, DWORD index, void* data,
                                DWORD* dataSize) {
  internal::TraceLine(std::string("CryptMsgGetParam ") + std::to_string(paramType) +
                      (data ? " fill" : " size"));
  Message* message = LiveMessage(msg);
  if (message == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return FALSE;
  }
  if ((paramType != CMSG_SIGNER_INFO_PARAM && paramType != CMSG_CONTENT_PARAM &&
       paramType != CMSG_INNER_CONTENT_TYPE_PARAM) ||
      index != 0 || dataSize == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!message->decoded) {
    SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    return FALSE;
  }
  if (paramType == CMSG_CONTENT_PARAM || paramType == CMSG_INNER_CONTENT_TYPE_PARAM) {
    if (message->content.raw) {
      SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
      return FALSE;
    }
    const SignatureDesc& signature = message->content.signature;
    // The content type as a terminated string, as the platform gives it.
    const std::vector<uint8_t> content =
        paramType == CMSG_CONTENT_PARAM
            ? ContentOf(signature)
            : std::vector<uint8_t>(signature.contentType.c_str(),
                                   signature.contentType.c_str() + signature.contentType.size() + 1);
    const DWORD needed = static_cast<DWORD>(content.size());
    if (data == nullptr) {
      *dataSize = needed;
      return TRUE;
    }
    if (*dataSize < needed) {
      *dataSize = needed;
      SetLastError(kErrorMoreData);
      return FALSE;
    }
    std::memcpy(data, content.data(), content.size());
    *dataSize = needed;
    return TRUE;
  }
  DWORD error = 0;
  if (data == nullptr) {
    if (TakeFailure(MsgFailure::kSignerInfoSize, &error)) {
      SetLastError(error);
      return FALSE;
    }
    if (TakeFailure(MsgFailure::kSignerInfoZero, &error)) {
      SetLastError(error);
      *dataSize = 0;
      return TRUE;
    }
    // Sized for a buffer whose address is a multiple of 8, as local-heap blocks are.
    *dataSize = static_cast<DWORD>(MeasureAt(0, message->content));
    return TRUE;
  }
  if (TakeFailure(MsgFailure::kSignerInfoFill, &error)) {
    SetLastError(error);
    return FALSE;
  }
  uint8_t* out = static_cast<uint8_t*>(data);
  const size_t needed = MeasureAt(reinterpret_cast<uintptr_t>(out), message->content);
  if (needed > *dataSize) {
    *dataSize = static_cast<DWORD>(needed);
    SetLastError(kErrorMoreData);
    return FALSE;
  }
  RecordWriter writer(reinterpret_cast<uintptr_t>(out), out);
  LayOut(writer, message->content);
  *dataSize = static_cast<DWORD>(needed);
  if (M().misreportCountdown != 0 && --M().misreportCountdown == 0) {
    *dataSize = static_cast<DWORD>(static_cast<int64_t>(needed) + M().misreportBy);
  }
  return TRUE;
}

HCRYPTMSG WINAPI SimCryptMsgOpenToDecode(DWORD encoding, DWORD flags, DWORD msgType,
                                         HCRYPTPROV_LEGACY provider, PCERT_INFO recipient,
                                         PCMSG_STREAM_INFO stream) {
  internal::TraceLine("CryptMsgOpenToDecode");
  DWORD error = 0;
  if (TakeFailure(MsgFailure::kOpenToDecode, &error)) {
    SetLastError(error);
    return nullptr;
  }
  if (encoding != kMessageEncoding || flags != 0 || msgType != 0 || provider != 0 ||
      recipient != nullptr || stream != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return NewMessage(std::make_unique<Message>());
}

BOOL WINAPI SimCryptMsgUpdate(HCRYPTMSG msg, const BYTE* data, DWORD size, BOOL final) {
  internal::TraceLine("CryptMsgUpdate " + std::to_string(size));
  Message* message = LiveMessage(msg);
  if (message == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return FALSE;
  }
  MessageUpdate update{data, size, final, false};
  // Whole messages only: the verifier feeds each candidate in one piece.
  if (message->decoded || data == nullptr || !final) {
    M().updates.push_back(update);
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const long index = DecodeNested(data, size);
  update.decoded = index >= 0;
  M().updates.push_back(update);
  if (index < 0) {
    SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
    return FALSE;
  }
  message->decoded = true;
  message->content.signature = M().nestedRegistry[static_cast<size_t>(index)];
  return TRUE;
}

// The signer's signature over its signed attributes, checked with the
// certificate given. As on Wine, the message-digest attribute is not compared
// with the content here.
BOOL WINAPI SimCryptMsgControl(HCRYPTMSG msg, DWORD flags, DWORD ctrlType, const void* ctrlPara) {
  internal::TraceLine("CryptMsgControl " + std::to_string(ctrlType));
  Message* message = LiveMessage(msg);
  if (message == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return FALSE;
  }
  const auto* para = static_cast<const CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA*>(ctrlPara);
  if (flags != 0 || ctrlType != CMSG_CTRL_VERIFY_SIGNATURE_EX || para == nullptr ||
      para->cbSize != sizeof *para || para->dwSignerIndex != 0 ||
      para->dwSignerType != CMSG_VERIFY_SIGNER_CERT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!message->decoded || message->content.raw) {
    SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    return FALSE;
  }
  if (para->pvSigner == nullptr) {
    // Wine's crypt32 reads the certificate it is handed without looking: a
    // null one faults there. Counted as a misuse, and refused.
    internal::Count(internal::Counter::kBadReleases, 1);
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const SignatureDesc& signature = message->content.signature;
  if (!internal::IsSignerCertificate(static_cast<PCCERT_CONTEXT>(para->pvSigner),
                                     signature.signer) ||
      !signature.signatureValid) {
    SetLastError(static_cast<DWORD>(NTE_BAD_SIGNATURE));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI SimCryptMsgClose(HCRYPTMSG msg) {
  if (msg == nullptr) return TRUE;
  auto it = M().messages.find(msg);
  if (it == M().messages.end()) {
    internal::Count(internal::Counter::kBadReleases, +1);
    SetLastError(kErrorInvalidHandle);
    return FALSE;
  }
  internal::TraceLine("CryptMsgClose");
  M().messages.erase(it);
  internal::Count(internal::Counter::kMessages, -1);
  internal::AfterRelease();
  return TRUE;
}

// Only the message provider: a store of the certificates a message carries.
HCERTSTORE WINAPI SimCertOpenStore(LPCSTR provider, DWORD encoding, HCRYPTPROV_LEGACY cryptProv,
                                   DWORD flags, const void* para) {
  internal::TraceLine("CertOpenStore");
  DWORD error = 0;
  if (TakeFailure(MsgFailure::kOpenStore, &error)) {
    SetLastError(error);
    return nullptr;
  }
  if (provider != CERT_STORE_PROV_MSG || encoding != kMessageEncoding || cryptProv != 0 ||
      flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Message* message = LiveMessage(const_cast<void*>(para));
  if (message == nullptr || !message->decoded) {
    SetLastError(static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));
    return nullptr;
  }
  return internal::OpenStoreOf(message->content.Certs());
}

template <typename Fn>
void* ExportOf(Fn fn) {
  return reinterpret_cast<void*>(fn);
}

const internal::WorldPart part{[] {
  M() = MsgWorld{};
  internal::RegisterSystemExport("crypt32.dll", "CryptQueryObject", ExportOf(&SimCryptQueryObject));
  internal::RegisterSystemExport("crypt32.dll", "CryptMsgGetParam", ExportOf(&SimCryptMsgGetParam));
  internal::RegisterSystemExport("crypt32.dll", "CryptMsgOpenToDecode",
                                 ExportOf(&SimCryptMsgOpenToDecode));
  internal::RegisterSystemExport("crypt32.dll", "CryptMsgUpdate", ExportOf(&SimCryptMsgUpdate));
  internal::RegisterSystemExport("crypt32.dll", "CryptMsgClose", ExportOf(&SimCryptMsgClose));
  internal::RegisterSystemExport("crypt32.dll", "CryptMsgControl", ExportOf(&SimCryptMsgControl));
  internal::RegisterSystemExport("crypt32.dll", "CertOpenStore", ExportOf(&SimCertOpenStore));
}};

}  // namespace

// ---- control

void SignFile(const std::wstring& path, SignatureDesc signature) {
  Content content;
  content.signature = std::move(signature);
  M().signedFiles[internal::PathKey(path)] = std::move(content);
}

void SignFileWithRawSignerRecord(const std::wstring& path, std::vector<uint8_t> bytes,
                                 int64_t nestedValueOffset, std::vector<CertId> certs,
                                 DWORD valueCount) {
  Content content;
  content.raw = true;
  content.rawBytes = std::move(bytes);
  content.rawValueOffset = nestedValueOffset;
  content.rawValueCount = valueCount;
  content.rawCerts = std::move(certs);
  M().signedFiles[internal::PathKey(path)] = std::move(content);
}

std::vector<uint8_t> EncodeNestedSignatureOfLength(const SignatureDesc& signature,
                                                   uint16_t contentLength) {
  const size_t length = std::max<size_t>(contentLength, kMinNestedContentLength);
  const uint32_t index = static_cast<uint32_t>(M().nestedRegistry.size());
  M().nestedRegistry.push_back(signature);
  // Signed as a signer would sign it: the message digest of the content,
  // without the content's own tag and length.
  std::vector<AttributeDesc>& signedAttrs = M().nestedRegistry.back().signer.authAttrs;
  const bool hasDigest = std::any_of(signedAttrs.begin(), signedAttrs.end(), [](const auto& a) {
    return a.oid == szOID_RSA_messageDigest;
  });
  if (!hasDigest) {
    signedAttrs.push_back({szOID_RSA_messageDigest, {MessageDigestValue(ContentOf(signature))}});
  }
  const bool hasType = std::any_of(signedAttrs.begin(), signedAttrs.end(), [](const auto& a) {
    return a.oid == szOID_RSA_contentType;
  });
  if (!hasType) signedAttrs.insert(signedAttrs.begin(), {szOID_RSA_contentType, {EncodedIndirectDataType()}});

  std::vector<uint8_t> out(length + 4, 0);
  out[0] = 0x30;
  PutLength(out, 1, length);
  out[4] = 0x06;
  out[5] = 0x09;
  std::memcpy(&out[6], kSignedDataOid, sizeof kSignedDataOid);
  out[15] = 0xA0;
  PutLength(out, 16, out.size() - 19);
  out[19] = 0x04;
  PutLength(out, 20, out.size() - 23);
  std::memcpy(&out[23], kNestedMagic, sizeof kNestedMagic);
  for (int i = 0; i < 4; ++i) out[27 + i] = static_cast<uint8_t>(index >> (24 - 8 * i));
  return out;
}

std::vector<uint8_t> EncodedIndirectDataType() {
  return {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
}

std::vector<uint8_t> EncodeNestedSignature(const SignatureDesc& signature) {
  return EncodeNestedSignatureOfLength(signature, kMinNestedContentLength);
}

void FailMessageOperation(MsgFailure operation, unsigned nth, DWORD error) {
  M().failures[operation] = Failure{nth, error};
}

void MisreportSignerInfoSize(unsigned nth, int delta) {
  M().misreportCountdown = nth;
  M().misreportBy = delta;
}

const std::vector<MessageUpdate>& MessageUpdates() { return M().updates; }

namespace internal {

HLOCAL BuildSignerRecord(const SignerDesc& signer, DWORD* size) {
  Content content;
  content.signature.signer = signer;
  const size_t needed = MeasureAt(0, content);
  HLOCAL block = LocalAlloc(LPTR, needed);
  if (block == nullptr) return nullptr;
  uint8_t* out = static_cast<uint8_t*>(block);
  // Local-heap blocks start at a multiple of 8, so the layout measured above fits.
  if (MeasureAt(reinterpret_cast<uintptr_t>(out), content) != needed) {
    LocalFree(block);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  RecordWriter writer(reinterpret_cast<uintptr_t>(out), out);
  LayOut(writer, content);
  if (size != nullptr) *size = static_cast<DWORD>(needed);
  return block;
}

}  // namespace internal
}  // namespace sim
