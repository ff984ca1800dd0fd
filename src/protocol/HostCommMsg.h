// The message catalogue exchanged with the device: message types, order sub types, payload
// layouts (byte offsets, little-endian, packed) and the builders of the messages that the
// library itself originates.
#pragma once

#include <cstdint>
#include <vector>

#include "common/ProtocolCatalogue.h"

// The engine's host communication type; 2 names no transport.
enum HostCommType : uint32_t {
  HostCommTypeStorage = 0,
  HostCommTypeNetwork = 1,
  HostCommTypeNetworkAlt = 3,
};

// Order (type 6, host to device) and order ACK (type 6, device to host).
struct OrderLayout {
  static constexpr uint32_t kSeqNo = 0;       // u16
  static constexpr uint32_t kSubMsgType = 2;  // u16
  static constexpr uint32_t kParamLen = 4;    // u32 (orders)
  static constexpr uint32_t kParams = 8;
  static constexpr uint32_t kAckCode = kestal::catalogue::kAckCode;          // u16 (ACKs)
  static constexpr uint32_t kAckReplyLen = kestal::catalogue::kAckReplyLen;  // u32 (ACKs)
  static constexpr uint32_t kAckReplyData = kestal::catalogue::kAckReply;
  static constexpr uint32_t kHeaderLength = 8;
};

// Write-config ACK (type 4) and read-config ACK (type 5).
struct ConfigAckLayout {
  static constexpr uint32_t kSeqNo = 0;          // u16
  static constexpr uint32_t kSubMsgType = 2;     // u16
  static constexpr uint32_t kAckCode = 4;        // u16
  static constexpr uint32_t kConfigFileLen = 6;  // u32, read-config only
  static constexpr uint32_t kConfigFile = 10;
};

// Firmware chunk (type 9, host to device).
struct FirmwareChunkLayout {
  static constexpr uint32_t kSeqNo = 0;         // u16
  static constexpr uint32_t kType = 2;          // u16
  static constexpr uint32_t kFileLen = 4;       // u32
  static constexpr uint32_t kCheck = 8;         // u32
  static constexpr uint32_t kTotalLen = 12;     // u32
  static constexpr uint32_t kChunkOffset = 16;  // u32
  static constexpr uint32_t kChunkLen = 20;     // u32
  static constexpr uint32_t kData = 24;
  static constexpr uint32_t kHeaderLength = 24;
  static constexpr uint32_t kMaxChunkData = 65496;  // header + data = largest frame payload
};

// Update-firmware ACK (type 9, device to host).
struct FirmwareAckLayout {
  static constexpr uint32_t kSeqNo = 0;     // u16
  static constexpr uint32_t kType = 2;      // u16
  static constexpr uint32_t kAckCode = 4;   // u16
  static constexpr uint32_t kProgress = 6;  // u8
  static constexpr uint32_t kStep = 7;      // u8
  static constexpr uint32_t kLength = 8;
};

// Controller status record (type 7): the first 56 bytes of the payload.
struct ControllerStatusLayout {
  static constexpr uint32_t kScannerState = 0;
  static constexpr uint32_t kFpgaBytes = 4;
  static constexpr uint32_t kFpgaFps = 8;
  static constexpr uint32_t kArmState = 12;
  static constexpr uint32_t kArmFps = 16;
  static constexpr uint32_t kHostSendBytes = 20;
  static constexpr uint32_t kHostRecvBytes = 24;
  static constexpr uint32_t kFpgaTemp = 28;
  static constexpr uint32_t kLength = 56;
};

// Y image (type 2).
struct YImageLayout {
  static constexpr uint32_t kYDataLen = 68;  // u32
  static constexpr uint32_t kHeaderLength = kestal::catalogue::kYImageHeaderLength;
};

// Image piece (types 3 and 8); a complete frame is the 80-byte header plus image_size bytes.
struct ImagePieceLayout {
  static constexpr uint32_t kHeaderImageSize = kestal::catalogue::kImageSize;  // u32, last field
  static constexpr uint32_t kImageHeaderLength = kestal::catalogue::kImageHeaderLength;
  static constexpr uint32_t kImageSize = 80;    // u32
  static constexpr uint32_t kPieceOffset = 84;  // u32
  static constexpr uint32_t kPieceLen = 88;     // u32
  static constexpr uint32_t kPieceData = 92;
  static constexpr uint32_t kMaxImageSize = 4194304;
};

class HostCommMsg {
 public:
  // Heartbeat order: seq_no then six zero bytes. Returns 8.
  static uint32_t BuildHeartBeat(uint8_t* out, uint16_t seq_no);
  // Any order as the application sends it: seq_no, sub type, param_len, the parameters.
  static std::vector<uint8_t> BuildOrder(uint16_t seq_no, uint16_t sub_type,
                                         const std::vector<uint8_t>& params);
  static std::vector<uint8_t> BuildOrder(uint16_t seq_no, uint16_t sub_type, const uint8_t* params,
                                         uint32_t params_len);
  // The same into `out` (at least 8 + params_len bytes); returns its length.
  static uint32_t BuildOrder(uint8_t* out, uint16_t seq_no, uint16_t sub_type,
                             const uint8_t* params, uint32_t params_len);
  // Comm-type order: seq_no, 70, param_len 4, the comm type as u32. Returns 12.
  static uint32_t BuildCommTypeOrder(uint8_t* out, uint16_t seq_no, uint32_t comm_type);
  // Writes the 24-byte header of one firmware chunk.
  static void BuildFirmwareChunkHeader(uint8_t* out, uint16_t seq_no, uint16_t type,
                                       uint32_t file_len, uint32_t check, uint32_t chunk_offset,
                                       uint32_t chunk_len);
  // Sum of all bytes of the firmware file, modulo 2^32.
  static uint32_t FirmwareCheck(const uint8_t* data, uint32_t len);
  // Raw FPGA temperature to degrees Celsius.
  static double FpgaTempCelsius(uint32_t raw) { return raw * 0.01 - 40.0; }
};
