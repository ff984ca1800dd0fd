// The one list of what the library and the device agree on: message types, order sub types, the
// device's state codes, the ACK layout that the bindings read, and the default endpoints. Each
// list is an X-macro: a user defines X, expands the list, and gets one line per row, so the
// engine's enums, its log lines, the C interface's names and its checks against the installed
// header all come from these rows.
//
// It lies in common, below every layer, because the transports, the arm link and the settings
// need the endpoints as much as the engine needs the types. C++ only; never installed: the
// installed C header keeps its hand-written C89 constants, which KestalProtocolC.cpp checks
// against these rows at compile time.
#pragma once

#include <cstdint>

// X(engine_name, value, c_name): the engine's name, the 16-bit type, the suffix of its
// KESTAL_MSG_* constant (also what kestal_msg_name gives).
#define KESTAL_CATALOGUE_MSG_TYPES(X)       \
  X(ArmMsg, 1, ARM)                         \
  X(YImage, 2, Y_IMAGE)                     \
  X(OriginalImagePiece, 3, IMAGE_PIECE)     \
  X(WriteConfig, 4, WRITE_CONFIG)           \
  X(ReadConfig, 5, READ_CONFIG)             \
  X(Order, 6, ORDER)                        \
  X(ControllerStatus, 7, CONTROLLER_STATUS) \
  X(YOriginalImagePiece, 8, Y_IMAGE_PIECE)  \
  X(UpdateFirmware, 9, UPDATE_FIRMWARE)

// X(engine_name, value, c_name, ack_line): as above for KESTAL_ORDER_*, and the line the
// dispatcher logs for the order's ACK with the ACK's seq_no (none for the heartbeat's).
#define KESTAL_CATALOGUE_ORDER_TYPES(X)                                                        \
  X(HeartBeat, 0, HEART_BEAT, "Recv order to heart beat")                                      \
  X(StartScan, 1, START_SCAN, "Recv order to start scan ACK:%d")                               \
  X(StopScan, 2, STOP_SCAN, "Recv order to stop scan ACK:%d")                                  \
  X(StartScanAlt, 3, START_SCAN_ALT, "Recv order to start scan ACK:%d")                        \
  X(StopScanAlt, 4, STOP_SCAN_ALT, "Recv order to stop scan ACK:%d")                           \
  X(SetExposure, 21, SET_EXPOSURE, "Recv order to set exposure:%d")                            \
  X(SetGain, 22, SET_GAIN, "Recv order to set gain:%d")                                        \
  X(TriggerSingle, 27, TRIGGER_SINGLE, "Recv order to trigger single ACK:%d")                  \
  X(TriggerContinue, 28, TRIGGER_CONTINUE, "Recv order to trigger continue ACK:%d")            \
  X(EnterOriginalImage, 29, ENTER_ORIGINAL_IMAGE, "Recv order to enter original image ACK:%d") \
  X(EnterYImage, 30, ENTER_Y_IMAGE, "Recv order to enter Y image ACK:%d")                      \
  X(SetCommType, 70, SET_COMM_TYPE, "Recv order to set comm type ACK:%d")                      \
  X(SetSensorReg, 80, SET_SENSOR_REG, "Recv order to set sensor reg ACK:%d")                   \
  X(GetSensorRegMap, 81, SENSOR_REG_MAP, "Recv order to get sensor reg map ACK:%d")            \
  X(GetDeviceStaticInfo, 82, STATIC_INFO, "Recv order to get device static info ACK:%d")       \
  X(GetFpgaTemp, 83, FPGA_TEMP, "Recv order to get fpga temp ACK:%d")

// X(value, c_name, text): the device's state codes (scanner and arm) with the English text that
// kestal_state_name gives; the last one also stands for every code above it.
#define KESTAL_CATALOGUE_STATES(X)              \
  X(0, WORKING, "working normally")             \
  X(1, NOT_FOUND, "device not found")           \
  X(2, OPEN_FAILED, "open failed")              \
  X(3, IO_ERROR, "I/O error")                   \
  X(4, INSERTED, "device inserted")             \
  X(5, REMOVED, "device removed")               \
  X(6, TIMEOUT, "device communication timeout") \
  X(7, NO_STATUS, "no status")

// The message types and order sub types of the catalogue, by the names the library's code uses.
#define KESTAL_ENUM_ROW(name, value, ...) name = value,
enum HostCommMsgType : uint16_t { KESTAL_CATALOGUE_MSG_TYPES(KESTAL_ENUM_ROW) };
enum HostCommOrderType : uint16_t { KESTAL_CATALOGUE_ORDER_TYPES(KESTAL_ENUM_ROW) };
#undef KESTAL_ENUM_ROW

namespace kestal {
namespace catalogue {

// The default device endpoints: engine comm type 1 (KESTAL_COMM_NETWORK) and 3
// (KESTAL_COMM_NETWORK_ALT).
constexpr const char* kDeviceHostType1 = "192.168.66.1";
constexpr uint16_t kDevicePortType1 = 28992;
constexpr const char* kDeviceHostType3 = "192.168.60.1";
constexpr uint16_t kDevicePortType3 = 29372;
// The arm link: the library binds the first port on 127.0.0.1 and sends to the companion's.
constexpr uint16_t kArmLibraryPort = 26000;
constexpr uint16_t kArmCompanionPort = 27000;
// Arm messages to the device are always this long.
constexpr uint32_t kArmMsgLength = 64;
// The longest payload that one network frame carries.
constexpr uint32_t kMaxFramePayload = 0xFFF0;

// An order ACK: seq_no, sub type, code, reply length, then the reply.
constexpr uint32_t kAckSeqNo = 0;     // u16
constexpr uint32_t kAckSubType = 2;   // u16
constexpr uint32_t kAckCode = 4;      // u16
constexpr uint32_t kAckReplyLen = 6;  // u32, as the device announces it
constexpr uint32_t kAckReply = 10;
// The image frame header: frame number, kind, width, height, ..., image size as its last field.
constexpr uint32_t kImageNumber = 0;   // u32
constexpr uint32_t kImageKind = 4;     // u16
constexpr uint32_t kImageWidth = 8;    // u32
constexpr uint32_t kImageHeight = 12;  // u32
constexpr uint32_t kImageSize = 76;    // u32
constexpr uint32_t kImageHeaderLength = 80;
constexpr uint32_t kYImageHeaderLength = 72;

}  // namespace catalogue
}  // namespace kestal
