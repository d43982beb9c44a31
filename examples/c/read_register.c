/* Read one register through libDLMSProtocol from C.

   The engine reaches the meter only through the SendReceiveDataFunc callback
   the caller installs. Here that callback is a canned transport: it checks
   that the engine sent the GET request we expect and answers with a prepared
   response, so the example runs without a meter.

   Build against an installed engine:
     cc read_register.c $(pkg-config --cflags --libs dlmsprotocol) -o read_register */
#include <stdio.h>
#include <string.h>

#include <DLMSProtocol.h>

/* GET of attribute 2 (value) of the register 1.0.1.8.0.255, and the meter's
   answer: double-long-unsigned 12345. */
static const char kRequestXml[] =
    "<GetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor>"
    "<ClassId Value=\"0003\" /><InstanceId Value=\"0100010800FF\" /><AttributeId Value=\"02\" />"
    "</AttributeDescriptor></GetRequestNormal>";
static const uint8_t kExpectedRequest[] = {0xC0, 0x01, 0xC1, 0x00, 0x03, 0x01, 0x00,
                                           0x01, 0x08, 0x00, 0xFF, 0x02, 0x00};
static const uint8_t kCannedResponse[] = {0xC4, 0x01, 0xC1, 0x00, 0x06, 0x00, 0x00, 0x30, 0x39};

#define CONFORMANCE_GET (1u << 19)

static int gExchanges;

static int32_t CannedTransport(PDLMSProtocolContext ctx, const uint8_t* out, int32_t outLength, uint8_t* in,
                               int32_t maxIn, int32_t* inLength) {
  ++gExchanges;
  if (outLength != (int32_t)sizeof kExpectedRequest || memcmp(out, kExpectedRequest, sizeof kExpectedRequest) != 0) {
    snprintf(ctx->CallBackResult, sizeof ctx->CallBackResult, "canned transport: unexpected request");
    return 1;
  }
  if (maxIn < (int32_t)sizeof kCannedResponse) {
    snprintf(ctx->CallBackResult, sizeof ctx->CallBackResult, "canned transport: buffer too small");
    return 1;
  }
  memcpy(in, kCannedResponse, sizeof kCannedResponse);
  *inLength = (int32_t)sizeof kCannedResponse;
  return 0;
}

static void IgnoreLog(const char* line) { (void)line; }

int main(void) {
  TDLMSProtocolContext ctx;
  ClearContext(&ctx);
  ctx.ApplicationContext = 3; /* logical names, no ciphering */
  ctx.MechanismName = 1;      /* lowest security */
  ctx.Options = DLMS_OPTION_PRE_ESTABLISHED;
  ctx.NegotiatedConformance = CONFORMANCE_GET;
  ctx.NegotiatedMaxPduSize = 1024;
  ctx.SendReceiveDataFunc = CannedTransport;
  ctx.LogStringFunc = IgnoreLog;

  printf("%s\n", DLMSProtocolVersion());
  if (EstablishAA(&ctx) != 0) {
    fprintf(stderr, "EstablishAA failed: %s\n", ctx.Result);
    return 1;
  }
  int failed = 0;
  if (ReadAttributes(&ctx, kRequestXml) != 0) {
    fprintf(stderr, "ReadAttributes failed: %s\n", ctx.Result);
    failed = 1;
  } else if (gExchanges != 1 || strstr(ctx.Result, "DoubleLongUnsigned Value=\"00003039\"") == NULL) {
    fprintf(stderr, "unexpected result: %s\n", ctx.Result);
    failed = 1;
  } else {
    printf("%s\nread 1.0.1.8.0.255 = 12345\n", ctx.Result);
  }
  ReleaseAA(&ctx);
  return failed;
}
