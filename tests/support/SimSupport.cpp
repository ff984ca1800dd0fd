#include "SimRig.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/LittleEndian.h"
#include "protocol/HostCommProtocolImpl.h"
#include "service/ServiceGlobals.h"
#include "transport/storage/SummaryRecord.h"

SimDeviceOptions QuietDevice() {
  SimDeviceOptions options;
  options.status_interval_ms = 0;
  return options;
}

SimRig::SimRig(SimLink link, const SimDeviceOptions& options, const std::string& image_name)
    : m_link(link), m_device(options), m_image_name(image_name),
      m_image_path(link == SimLink::Storage ? (std::filesystem::current_path() / image_name).string() : "") {
  if (link == SimLink::Network) m_server = std::make_unique<SimNetworkServer>(m_device);
  else m_storage = std::make_unique<SimStorageDevice>(m_image_path);
}

SimRig::~SimRig() {
  Stop();
  if (m_pointed && m_server) KestalHostCommServiceAccess::SetNetworkEndpoint(false, m_saved_ip, m_saved_port);
  if (m_pointed && m_storage) KestalHostCommServiceAccess::Engine().m_comm_dev_via_storage.SetCandidatePaths({});
}

int SimRig::Start() {
  if (m_server) return m_server->Start();
  if (MakeImage(m_image_name).empty()) return -1;
  if (m_storage->Start([this](uint16_t t, const uint8_t* d, uint32_t n) { m_device.OnHostMessage(t, d, n); }) != 0)
    return -1;
  m_device.Start([this](uint16_t type, const uint8_t* data, uint32_t len) { return m_storage->Send(type, data, len); });
  return 0;
}

void SimRig::Stop() {
  if (m_server) return m_server->Stop();
  m_device.Stop();
  m_storage->Stop();
}

void SimRig::PointService() {
  HostCommProtocolImpl& engine = KestalHostCommServiceAccess::Engine();
  if (!m_pointed) m_saved_ip = engine.m_comm_dev_via_network.m_device_ip_type1;
  if (!m_pointed) m_saved_port = engine.m_device_port_type1;
  m_pointed = true;
  if (m_server) KestalHostCommServiceAccess::SetNetworkEndpoint(false, "127.0.0.1", m_server->Port());
  else engine.m_comm_dev_via_storage.SetCandidatePaths({m_image_path});
  KestalHostCommService::GetInstance().SetCommType(m_server ? HostCommDeviceNetwork : HostCommDeviceStorage);
}

std::string MakeImage(const std::string& name, uint64_t size) {
  const std::filesystem::path path = std::filesystem::current_path() / name;
  { std::ofstream create(path, std::ios::binary | std::ios::trunc); }
  std::error_code ec;
  std::filesystem::resize_file(path, size, ec);
  return ec ? std::string() : path.string();
}

std::vector<uint8_t> Peek(const std::string& path, uint64_t offset, uint32_t len) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> out(len);
  in.seekg(static_cast<std::streamoff>(offset)).read(reinterpret_cast<char*>(out.data()), len);
  return in && in.gcount() == static_cast<std::streamsize>(len) ? out : std::vector<uint8_t>();
}

bool Poke(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(static_cast<std::streamoff>(offset))
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(io.flush());
}

std::vector<uint8_t> RecordBytes(uint64_t seq_no, uint32_t start, uint32_t data_len, uint16_t msg_type) {
  std::vector<uint8_t> bytes(SummaryRecord::kSize);
  SummaryRecord{seq_no, start, data_len, msg_type}.Encode(bytes.data());
  return bytes;
}

size_t CommTypeOrders(const SimDevice& device) {
  size_t n = 0;
  for (const SimHostMessage& m : device.HostMessages())
    n += m.type == Order && m.payload.size() >= 4 && kestal::LoadU16(m.payload.data() + 2) == SetCommType;
  return n;
}
