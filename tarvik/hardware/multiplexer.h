#pragma once
// Multiplexer control of a slot: the mode (none, one channel, several
// channels), the number of channels in use and the channel measured next.
// The channel is switched on the interface board (through the request
// block), on digital output 2 (the optical multiplexer MUX-7WEN) or in a
// serial multiplexer on its own COM port (MUX-KRD, MUX-KRL).
//
// Slot fields: muxPresent is the in-use word, muxChannels the channels in
// use, muxSetting the active channel, muxChannel the position the optical or
// serial multiplexer was last switched to; qre.muxModeIndex and
// qre.muxChannelIndex are the mode and channel less one.

#include <cstdint>

namespace tarvik {

// Multiplexer types of a slot.
inline constexpr uint32_t kMuxTypeNone = 0;
inline constexpr uint32_t kMuxTypeOptical = 6; // MUX-7WEN on digital output 2
inline constexpr uint32_t kMuxTypeKrd = 7;     // serial MUX-KRD
inline constexpr uint32_t kMuxTypeVariant = 8; // board-switched, variant from its image
inline constexpr uint32_t kMuxTypeKrl = 9;     // serial MUX-KRL

// Multiplexer modes (MuxMode of the request block).
inline constexpr uint32_t kMuxModeNone = 0;
inline constexpr uint32_t kMuxModeSingle = 1;
inline constexpr uint32_t kMuxModeMulti = 2;

// True for the types switched outside the board (optical and serial).
bool isExternallySwitchedMux(uint32_t muxType);

// The highest channel count KORAL_ParaSetMUXMode accepts for an interface
// and multiplexer type; serial multiplexers ask the slot's interface image.
int32_t HighestMuxChannelCount(uint32_t interfaceType, uint32_t muxType, int32_t interfaceId);

} // namespace tarvik
