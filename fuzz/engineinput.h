#pragma once

// The receiving engine's fuzz input: a compact record per step, so that the fuzzer spends
// its mutations on what the engine decides rather than on 2 KiB of zeros per data packet.
// Integers little-endian; a record cut short by the end of the input is taken as far as
// it goes.
//
//   u8 op (taken modulo 4), then
//   0 message:      u16 n, n bytes: handed to the engine exactly as they are
//   1 data packet:  i32 count, u32 checksum, u16 n, n bytes of the data area; the engine
//                   gets a whole 2060-byte packet whose area beyond n is zero
//   2 flush:        nothing (the endpoint delivered its batch)
//   3 close:        nothing (the session was lost)

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <vector>

struct EngineStep {
    enum class Op { Message, Flush, Close };
    Op op = Op::Message;
    QByteArray message;
};

// The steps of an input, data packets expanded into whole messages.
std::vector<EngineStep> DecodeEngineInput(const std::uint8_t* data, std::size_t size);

// The record of one message as it went on the wire: data packets in their compact form.
QByteArray EncodeEngineMessage(const QByteArray& message);
QByteArray EncodeEngineFlush();
