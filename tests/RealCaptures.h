// Messages recorded from real meters in the field, as tests' fixtures (the
// captures of ../shared/captures/real-meters.jsonl, named by their id there).
#pragma once

namespace quillon::test {

// kaifa-ma309-at-tinetz-mbus: a Kaifa MA309M (system title KFM1010000023)
// on a customer port in Tirol. Two wired M-Bus long frames, CI 00 then 11,
// carrying one general-glo-ciphering APDU of 278 bytes, encrypted only
// (security control 0x21) under the key its owner published with it.
inline constexpr const char* kKaifaMBusFrame1 =
    "68fafa6853ff000167db084b464d10100000238201092100295b9aefc1546e644a2c9e32edd42cbd0f1b945b194d086885c4d8df86dd52cb5"
    "b448854a6d548d5d270739b2a169d05b013f9015070089d3c5fa45ca05e92309a645cc83d7da40fbc8f4cf9c225afa69a25ff0b2ac9c274455"
    "0aba53ce9143fd10b0ad85fd30bd6b6dffee65f8204dc9c5067ca73b62e299a39d50aa730b2b9ae3836bc2f3490fb41be5b6f930d84952976"
    "369dd7dabbb5a4354aeca1d2486cff2eb0c6206380ba501d122af75d716d3092c3960506a15e06fab0ee5b7dfa3c2cdf0cafd051b88e44b8b"
    "9fb8865f20cb89d1143cdc7efeb07fb4c4898e764e9e3a32ddc3d1f0f16";
inline constexpr const char* kKaifaMBusFrame2 =
    "6826266853ff110167b46961ce962b2c78050c96598c7e4d26658043f9cbca78189bd01b139f8ae0f7391116";
inline constexpr const char* kKaifaEk = "101112131415161718191A1B1C1D1E1F";

}  // namespace quillon::test
