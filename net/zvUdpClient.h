// The component through which one UDP datagram at a time is exchanged with one server:
// it keeps the server, port and transfer settings, resolves the server's name when it
// opens, and raises its events after each packet. The DNS query component derives from
// it and supplies the default port.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Classes.h"
#include "net/zvSocket.h"

// (the component, the stream that holds the packet)
using TzvUdpPacketEvent = std::function<void(TObject* sender, TStream* data)>;

class TzvUdpClient : public TComponent {
 public:
  // Starts the socket interface and makes the connection with its stream.
  explicit TzvUdpClient(TComponent* owner);
  // Frees the connection (closing its socket), then stops the socket interface.
  ~TzvUdpClient() override;
  std::string ClassName() const override { return "TzvUdpClient"; }

  // Resolves Server and opens the connection towards it and Port (closing a socket that
  // is still open first). No datagram is exchanged.
  void Open();
  void Close();
  // Sends one datagram of at most DatagramSize bytes from the position of `data`, then
  // raises OnSendPacket.
  void SendPacket(TStream* data);
  // Receives one datagram into `data` at its position, then raises OnReceivePacket.
  void ReceivePacket(TStream* data);

  // Setters compare first and raise OnChanged once when the value changed; none of them
  // validates or reopens anything.
  const std::string& Server() const { return server_; }
  void SetServer(const std::string& value);
  // GetDefaultPort() until set.
  std::int32_t Port() const;
  void SetPort(std::int32_t value);
  std::int32_t DatagramSize() const { return connection_->BatchSize(); }
  void SetDatagramSize(std::int32_t value);
  std::int32_t TimeOut() const { return connection_->TimeOut(); }
  void SetTimeOut(std::int32_t value);
  std::int32_t BitsPerSec() const { return connection_->BitsPerSec(); }
  void SetBitsPerSec(std::int32_t value);
  const std::string& LocalBinding() const { return connection_->LocalBinding(); }
  void SetLocalBinding(const std::string& value);

  void SetOnChanged(TNotifyEvent handler) { on_changed_ = std::move(handler); }
  void SetOnSendPacket(TzvUdpPacketEvent handler) { on_send_packet_ = std::move(handler); }
  void SetOnReceivePacket(TzvUdpPacketEvent handler) { on_receive_packet_ = std::move(handler); }

  TzvUdpClientConnection& Connection() { return *connection_; }

  static constexpr std::int32_t kDefaultDatagramSize = 8192;
  static constexpr std::int32_t kDefaultTimeOut = 5000;
  static constexpr std::int32_t kDefaultBitsPerSec = 0;

 protected:
  virtual void OpenConnection(const std::string& server, std::int32_t port);
  // Called first by the destructor of this class. A derived class's own destructor has
  // already run by then, so a derived class does its last work in its destructor.
  virtual void BeforeDestroy() {}
  virtual std::int32_t GetDefaultPort() const = 0;
  virtual void DoChanged();
  virtual void DoReceivePacket(TStream* data);
  virtual void DoSendPacket(TStream* data);

 private:
  std::string server_;
  // The last server text found to be an address, so that exchange after exchange with
  // the same server does not parse it again to learn it needs no lookup.
  std::string known_address_;
  // Empty until set: the default port comes from the derived class, which a base
  // constructor cannot ask.
  std::optional<std::int32_t> port_;
  std::unique_ptr<TzvUdpClientConnection> connection_;
  TNotifyEvent on_changed_;
  TzvUdpPacketEvent on_send_packet_;
  TzvUdpPacketEvent on_receive_packet_;
};
