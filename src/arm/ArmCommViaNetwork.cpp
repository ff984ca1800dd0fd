#include "arm/ArmCommViaNetwork.h"

ArmCommViaNetwork::ArmCommViaNetwork() = default;
ArmCommViaNetwork::~ArmCommViaNetwork() = default;

int ArmCommViaNetwork::StartLoopRecv() { return 0; }
int ArmCommViaNetwork::StopLoopRecv() { return 0; }
int ArmCommViaNetwork::SendOrder(const uint8_t*, uint32_t) { return -1; }
