#include "net/zvUdpClient.h"

#include "net/zvWinSock2.h"

TzvUdpClient::TzvUdpClient(TComponent* owner) : TComponent(owner) {
  zvWinSock2::StartupSocket();
  try {
    connection_ = std::make_unique<TzvUdpClientConnection>();
    connection_->SetNetworkStream(std::make_unique<TzvNetworkStream>());
  } catch (...) {
    connection_.reset();
    zvWinSock2::CleanupSocket();
    throw;
  }
  SetDatagramSize(kDefaultDatagramSize);
  SetTimeOut(kDefaultTimeOut);
  SetBitsPerSec(kDefaultBitsPerSec);
}

TzvUdpClient::~TzvUdpClient() {
  BeforeDestroy();
  connection_.reset();
  zvWinSock2::CleanupSocket();
}

void TzvUdpClient::Open() {
  OpenConnection(server_, Port());
}

void TzvUdpClient::Close() {
  connection_->Close(false);
}

void TzvUdpClient::SendPacket(TStream* data) {
  connection_->WriteData(data);
  DoSendPacket(data);
}

void TzvUdpClient::ReceivePacket(TStream* data) {
  connection_->ReadData(data);
  DoReceivePacket(data);
}

void TzvUdpClient::OpenConnection(const std::string& server, std::int32_t port) {
  if (server == known_address_ && !server.empty()) {
    connection_->Open(server, port);
    return;
  }
  // A server given by name is looked up on a helper thread within the time-out, and the
  // connection's Abort ends that wait too; an address is used as it stands.
  const std::string address =
      TzvHostResolver::ResolveHost(server, connection_->TimeOut(), connection_->AbortSignal());
  if (address == server) known_address_ = server;
  connection_->Open(address, port);
}

void TzvUdpClient::SetServer(const std::string& value) {
  if (value == server_) return;
  server_ = value;
  DoChanged();
}

std::int32_t TzvUdpClient::Port() const {
  return port_ ? *port_ : GetDefaultPort();
}

void TzvUdpClient::SetPort(std::int32_t value) {
  if (value == Port()) return;
  port_ = value;
  DoChanged();
}

void TzvUdpClient::SetDatagramSize(std::int32_t value) {
  if (value == connection_->BatchSize()) return;
  connection_->SetBatchSize(value);
  DoChanged();
}

void TzvUdpClient::SetTimeOut(std::int32_t value) {
  if (value == connection_->TimeOut()) return;
  connection_->SetTimeOut(value);
  DoChanged();
}

void TzvUdpClient::SetBitsPerSec(std::int32_t value) {
  if (value == connection_->BitsPerSec()) return;
  connection_->SetBitsPerSec(value);
  DoChanged();
}

void TzvUdpClient::SetLocalBinding(const std::string& value) {
  if (value == connection_->LocalBinding()) return;
  connection_->SetLocalBinding(value);
  DoChanged();
}

void TzvUdpClient::DoChanged() {
  if (on_changed_) on_changed_(this);
}

void TzvUdpClient::DoReceivePacket(TStream* data) {
  if (on_receive_packet_) on_receive_packet_(this, data);
}

void TzvUdpClient::DoSendPacket(TStream* data) {
  if (on_send_packet_) on_send_packet_(this, data);
}
