#include "SimRig.h"

#include <filesystem>
#include <fstream>

#include "service/KestalHostCommServiceImpl.h"
#include "service/ServiceSettings.h"

SimRig::SimRig(SimLink link, const SimDeviceOptions& options, const SimRigPlace& place)
    : m_link(link),
      m_device(options),
      m_image_path(link == SimLink::Storage ? std::filesystem::absolute(place.image).string() : ""),
      m_create_image(place.create_image) {
  if (link == SimLink::Network)
    m_server = std::make_unique<SimNetworkServer>(m_device, place.address, place.port);
  else
    m_storage = std::make_unique<SimStorageDevice>(m_image_path);
}

SimRig::~SimRig() {
  Stop();
  if (m_pointed) kestal::SetServiceSettings(m_saved_settings);
}

int SimRig::Start() {
  if (m_server) return m_server->Start();
  if (m_create_image && CreateImage(m_image_path) != 0) return -1;
  if (m_storage->Start([this](uint16_t t, const uint8_t* d, uint32_t n) {
        m_device.OnHostMessage(t, d, n);
      }) != 0)
    return -1;
  m_device.Start([this](uint16_t type, const uint8_t* data, uint32_t len) {
    return m_storage->Send(type, data, len);
  });
  return 0;
}

void SimRig::Stop() {
  if (m_server) return m_server->Stop();  // stops the device too
  m_device.Stop();
  m_storage->Stop();
}

void SimRig::PointService() {
  if (!m_pointed) m_saved_settings = kestal::GetServiceSettings();
  m_pointed = true;
  HostCommSettings settings = m_saved_settings;
  if (m_server)
    settings.device_ip_type1 = "127.0.0.1", settings.device_port_type1 = m_server->Port();
  else
    settings.storage_paths = {m_image_path};
  kestal::SetServiceSettings(settings);
  KestalHostCommService::GetInstance().SetCommType(m_server ? HostCommDeviceNetwork
                                                            : HostCommDeviceStorage);
}

void SimRig::PointService(KestalHostCommService::Impl& service) const {
  HostCommSettings settings = service.Settings();
  if (m_server)
    settings.device_ip_type1 = "127.0.0.1", settings.device_port_type1 = m_server->Port();
  else
    settings.storage_paths = {m_image_path};
  service.SetSettings(settings);
  service.SetCommType(m_server ? HostCommDeviceNetwork : HostCommDeviceStorage);
}

int CreateImage(const std::string& path, uint64_t size) {
  if (!std::ofstream(path, std::ios::binary | std::ios::trunc)) return -1;
  std::error_code ec;
  std::filesystem::resize_file(path, size, ec);
  return ec ? -1 : 0;
}
