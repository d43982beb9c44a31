#!/usr/bin/env python3
"""Read one register through libDLMSProtocol.so from Python.

The engine reaches the meter only through the SendReceiveDataFunc callback the
caller installs. Here that callback is a canned transport: it checks that the
engine sent the GET request we expect and answers with a prepared response,
so the example runs without a meter.

Usage: read_register.py [path/to/libDLMSProtocol.so]
"""
import ctypes
import os
import sys


class TByteArray(ctypes.Structure):
    _fields_ = [("Size", ctypes.c_int32), ("Reserved_", ctypes.c_int32),
                ("Bytes", ctypes.POINTER(ctypes.c_uint8))]


class TProtectionLayer(ctypes.Structure):
    _fields_ = [("Kind", ctypes.c_int32), ("Style", ctypes.c_int32), ("KeyInfo", ctypes.c_int32),
                ("Originator", ctypes.c_int32), ("DateTime", ctypes.c_int32), ("Reserved_", ctypes.c_int32),
                ("TransactionId", TByteArray), ("OtherInformation", TByteArray),
                ("ProtectionServices", ctypes.c_uint32), ("Reserved2_", ctypes.c_uint32)]


class TDLMSProtocolContext(ctypes.Structure):
    pass


PContext = ctypes.POINTER(TDLMSProtocolContext)
TLogStringFunc = ctypes.CFUNCTYPE(None, ctypes.c_char_p)
TSendReceiveDataFunc = ctypes.CFUNCTYPE(ctypes.c_int32, PContext, ctypes.POINTER(ctypes.c_uint8), ctypes.c_int32,
                                        ctypes.POINTER(ctypes.c_uint8), ctypes.c_int32,
                                        ctypes.POINTER(ctypes.c_int32))
TGetShortNameFunc = ctypes.CFUNCTYPE(ctypes.c_int32, PContext, ctypes.POINTER(ctypes.c_uint8), ctypes.c_int32,
                                     ctypes.c_int32, ctypes.POINTER(ctypes.c_uint16))
TGetNextInvocationCounterFunc = ctypes.CFUNCTYPE(ctypes.c_uint32)

_KEYS = ["EncryptionKey", "AuthenticationKey", "KeyEncryptionKey",
         "ClientPrivateSigningKey", "ClientPublicSigningKey",
         "ClientPrivateKeyAgreementKey", "ClientPublicKeyAgreementKey",
         "ClientPrivateEphemeralKey", "ClientPublicEphemeralKey",
         "ThirdPartyPrivateSigningKey", "ThirdPartyPublicSigningKey",
         "ThirdPartyPrivateKeyAgreementKey", "ThirdPartyPublicKeyAgreementKey",
         "ThirdPartyPrivateEphemeralKey", "ThirdPartyPublicEphemeralKey",
         "ServerPublicSigningKey", "ServerPublicKeyAgreementKey",
         "ClientSystemTitle", "ThirdPartysystemTitle", "ServerSystemTitle"]

TDLMSProtocolContext._fields_ = (
    [("ClientId", ctypes.c_int32), ("ServerId", ctypes.c_int32), ("ApplicationContext", ctypes.c_int32),
     ("MechanismName", ctypes.c_int32), ("UseDedicatedKey", ctypes.c_int32),
     ("SignInitiateRequest", ctypes.c_int32), ("InitiateRequestCipheringStyle", ctypes.c_uint32),
     ("Reserved1_", ctypes.c_int32), ("Secret", TByteArray), ("HLSChallenge", TByteArray),
     ("ClientUserIdSupported", ctypes.c_int32), ("ClientUserId", ctypes.c_int32),
     ("RLRQSupported", ctypes.c_int32), ("SecuritySuite", ctypes.c_int32)]
    + [(name, ctypes.POINTER(ctypes.c_uint8)) for name in _KEYS]
    + [("ProtectionLayers", TProtectionLayer * 4), ("Options", ctypes.c_uint32),
       ("DoNotAdvertizeCBBits", ctypes.c_uint32), ("NegotiatedConformance", ctypes.c_uint32),
       ("NegotiatedMaxPduSize", ctypes.c_int32), ("ClientMaxReceivePDUSize", ctypes.c_int32),
       ("Reserved2_", ctypes.c_int32), ("Result", ctypes.c_char_p), ("CallBackResult", ctypes.c_char * 256),
       ("LogStringFunc", TLogStringFunc), ("SendReceiveDataFunc", TSendReceiveDataFunc),
       ("GetShortNameOfAttributeFunc", TGetShortNameFunc), ("GetShortNameOfMethodFunc", TGetShortNameFunc),
       ("GetNextInvocationCounterFunc", TGetNextInvocationCounterFunc),
       ("ReservedRef", ctypes.c_void_p), ("ReservedForDllUser", ctypes.c_void_p)])

# The record is a binary interface; check that Python sees the same layout.
assert ctypes.sizeof(TProtectionLayer) == 64
assert ctypes.sizeof(TDLMSProtocolContext) == 840
for field, offset in [("ProtectionLayers", 240), ("Options", 496), ("Result", 520), ("CallBackResult", 528),
                      ("LogStringFunc", 784), ("ReservedRef", 824), ("ReservedForDllUser", 832)]:
    assert getattr(TDLMSProtocolContext, field).offset == offset, field

PRE_ESTABLISHED = 2
CONFORMANCE_GET = 1 << 19

# GET of attribute 2 (value) of the register 1.0.1.8.0.255, and the meter's
# answer: double-long-unsigned 12345.
REQUEST_XML = (b'<GetRequestNormal><InvokeIdAndPriority Value="C1" /><AttributeDescriptor>'
               b'<ClassId Value="0003" /><InstanceId Value="0100010800FF" /><AttributeId Value="02" />'
               b'</AttributeDescriptor></GetRequestNormal>')
EXPECTED_REQUEST = bytes.fromhex("C0 01 C1 00 03 01 00 01 08 00 FF 02 00")
CANNED_RESPONSE = bytes.fromhex("C4 01 C1 00 06 00 00 30 39")


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(__file__), "..", "..", "build", "lib", "libDLMSProtocol.so")
    lib = ctypes.CDLL(path)
    lib.DLMSProtocolVersion.restype = ctypes.c_char_p
    for name in ("ClearContext", "EstablishAA", "ReleaseAA"):
        getattr(lib, name).argtypes = [PContext]
    lib.ReadAttributes.argtypes = [PContext, ctypes.c_char_p]

    sent = []
    log = []

    def transport(ctx, out_buf, out_len, in_buf, max_in, in_len):
        request = ctypes.string_at(out_buf, out_len)
        sent.append(request)
        if request != EXPECTED_REQUEST:
            ctx.contents.CallBackResult = b"canned transport: unexpected request " + request.hex().encode()
            return 1
        if len(CANNED_RESPONSE) > max_in:
            ctx.contents.CallBackResult = b"canned transport: buffer too small"
            return 1
        ctypes.memmove(in_buf, CANNED_RESPONSE, len(CANNED_RESPONSE))
        in_len[0] = len(CANNED_RESPONSE)
        return 0

    # Keep the callback objects alive for as long as the engine may call them.
    transport_cb = TSendReceiveDataFunc(transport)
    log_cb = TLogStringFunc(lambda s: log.append(s.decode("latin-1")))

    ctx = TDLMSProtocolContext()
    lib.ClearContext(ctypes.byref(ctx))
    ctx.ApplicationContext = 3  # logical names, no ciphering
    ctx.MechanismName = 1       # lowest security
    ctx.Options = PRE_ESTABLISHED
    ctx.NegotiatedConformance = CONFORMANCE_GET
    ctx.NegotiatedMaxPduSize = 1024
    ctx.SendReceiveDataFunc = transport_cb
    ctx.LogStringFunc = log_cb

    print(lib.DLMSProtocolVersion().decode())
    if lib.EstablishAA(ctypes.byref(ctx)) != 0:
        sys.exit("EstablishAA failed: " + ctx.Result.decode("latin-1"))
    try:
        if lib.ReadAttributes(ctypes.byref(ctx), REQUEST_XML) != 0:
            sys.exit("ReadAttributes failed: " + ctx.Result.decode("latin-1"))
        result = ctx.Result.decode("latin-1")
        print(result)
        if sent != [EXPECTED_REQUEST]:
            sys.exit("unexpected exchanges: %r" % sent)
        if "GetResponseNormal" not in result or 'DoubleLongUnsigned Value="00003039"' not in result:
            sys.exit("the result does not hold the register value")
        if not any(line.strip() == "REQUEST:" for line in log):
            sys.exit("the request was not logged")
    finally:
        lib.ReleaseAA(ctypes.byref(ctx))
    print("read 1.0.1.8.0.255 = 12345")


if __name__ == "__main__":
    main()
