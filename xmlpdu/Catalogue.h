// The xDLMS APDU catalogue: every CHOICE, SEQUENCE and SEQUENCE OF type of
// the DLMS/COSEM application layer, declared once each, and T_COSEMpdu, the
// CHOICE over every APDU the system sends or receives.
#pragma once

#include "xmlpdu/Data.h"
#include "xmlpdu/BER.h"

namespace quillon {

class T_AssociationRequest;
class T_AssociationResponse;
class T_ReleaseRequest;
class T_ReleaseResponse;

// Forward declarations, so that the lists below may name types in any order.
#define QUILLON_FWD_(Name) class Name;
#define QUILLON_CATALOGUE_CHOICES(X)                                                                        \
  X(T_COSEMpdu) X(T_AccessRequestSpecification) X(T_AccessResponseSpecification) X(T_ActionRequest)         \
  X(T_ActionResponse) X(T_DataBlockGResult) X(T_GetDataResult) X(T_GetRequest) X(T_GetResponse) X(T_KeyInfo) \
  X(T_ServiceError) X(T_SetRequest) X(T_SetResponse) X(T_SingleReadResponse) X(T_SingleWriteResponse)       \
  X(T_VariableAccessSpecification)
#define QUILLON_CATALOGUE_SEQUENCES(X)                                                                       \
  X(T_AccessRequest) X(T_AccessRequestAction) X(T_AccessRequestBody) X(T_AccessRequestGet)                    \
  X(T_AccessRequestGetWithSelection) X(T_AccessRequestSet) X(T_AccessRequestSetWithSelection)                \
  X(T_AccessResponse) X(T_AccessResponseAction) X(T_AccessResponseBody) X(T_AccessResponseGet)               \
  X(T_AccessResponseSet) X(T_ActionRequestForNextPBlock) X(T_ActionRequestNormal)                            \
  X(T_ActionRequestWithFirstPBlock) X(T_ActionRequestWithList) X(T_ActionRequestWithListAndWithFirstPBlock)  \
  X(T_ActionRequestWithPBlock) X(T_ActionResponseForNextPBlock) X(T_ActionResponseNormal)                    \
  X(T_ActionResponseWithList) X(T_ActionResponseWithPBlock) X(T_AgreedKey) X(T_AttributeDescriptor)          \
  X(T_AttributeDescriptorWithSelection) X(T_BlockNumberAccess) X(T_ConfirmedServiceError)                    \
  X(T_DataBlockResult) X(T_DataBlock_G) X(T_DataBlock_SA) X(T_DataNotification) X(T_DataNotificationConfirm) \
  X(T_EventNotificationRequest) X(T_ExceptionResponse) X(T_GeneralBlockTransfer) X(T_GeneralCiphering)       \
  X(T_GeneralDedCiphering) X(T_GeneralGloCiphering) X(T_GeneralSigning) X(T_GetRequestForNextDatablock)      \
  X(T_GetRequestNormal) X(T_GetRequestWithList) X(T_GetResponseNormal) X(T_GetResponseWithDataBlock)         \
  X(T_GetResponseWithList) X(T_IdentifiedKey) X(T_InformationReportRequest) X(T_InitiateRequest)             \
  X(T_InitiateResponse) X(T_MethodDescriptor) X(T_NotificationBody) X(T_ParametrisedAccess)                  \
  X(T_ReadDataBlockAccess) X(T_SelectiveAccessDescriptor) X(T_SetRequestNormal) X(T_SetRequestWithDataBlock) \
  X(T_SetRequestWithFirstDataBlock) X(T_SetRequestWithList) X(T_SetRequestWithListAndWithFirstDatablock)     \
  X(T_SetResponseForDataBlock) X(T_SetResponseForLastDataBlock) X(T_SetResponseForLastDataBlockWithList)     \
  X(T_SetResponseNormal) X(T_SetResponseWithList) X(T_SingleActionResponse) X(T_UnconfirmedWriteRequest)     \
  X(T_WrappedKey) X(T_WriteDataBlockAccess) X(T_WriteRequest)
#define QUILLON_CATALOGUE_LISTS(X)                                                                        \
  X(T_ListOfAccessRequestSpecification) X(T_ListOfAccessResponseSpecification)                            \
  X(T_ListOfAttributeDescriptorWithSelection) X(T_ListOfData) X(T_ListOfDataAccessResult)                 \
  X(T_ListOfGetDataResult) X(T_ListOfMethodDescriptor) X(T_ListOfSingleActionResponse)                    \
  X(T_ListOfVariableAccessSpecifications) X(T_ReadRequest) X(T_ReadResponse) X(T_WriteResponse)

QUILLON_CATALOGUE_CHOICES(QUILLON_FWD_)
QUILLON_CATALOGUE_SEQUENCES(QUILLON_FWD_)
QUILLON_CATALOGUE_LISTS(QUILLON_FWD_)

// ------------------------------------------------------------------ CHOICEs
// (tag, role, type) per alternative, in the order XML reading tries them.

#define QCHO_T_COSEMpdu(A)                                                                                  \
  A(1, InitiateRequest, T_InitiateRequest) A(5, ReadRequest, T_ReadRequest)                                 \
  A(6, WriteRequest, T_WriteRequest) A(8, InitiateResponse, T_InitiateResponse)                             \
  A(12, ReadResponse, T_ReadResponse) A(13, WriteResponse, T_WriteResponse)                                 \
  A(14, ConfirmedServiceError, T_ConfirmedServiceError) A(15, DataNotification, T_DataNotification)         \
  A(16, DataNotificationConfirm, T_DataNotificationConfirm)                                                 \
  A(22, UnconfirmedWriteRequest, T_UnconfirmedWriteRequest)                                                 \
  A(24, InformationReportRequest, T_InformationReportRequest)                                               \
  A(33, glo_InitiateRequest, T_OctetString) A(37, glo_ReadRequest, T_OctetString)                           \
  A(38, glo_WriteRequest, T_OctetString) A(40, glo_InitiateResponse, T_OctetString)                         \
  A(44, glo_ReadResponse, T_OctetString) A(45, glo_WriteResponse, T_OctetString)                            \
  A(46, glo_ConfirmedServiceError, T_OctetString) A(54, glo_UnconfirmedWriteRequest, T_OctetString)         \
  A(56, glo_InformationReportRequest, T_OctetString) A(65, ded_InitiateRequest, T_OctetString)              \
  A(69, ded_ReadRequest, T_OctetString) A(70, ded_WriteRequest, T_OctetString)                              \
  A(72, ded_InitiateResponse, T_OctetString) A(76, ded_ReadResponse, T_OctetString)                         \
  A(77, ded_WriteResponse, T_OctetString) A(78, ded_ConfirmedServiceError, T_OctetString)                   \
  A(86, ded_UnconfirmedWriteRequest, T_OctetString) A(88, ded_InformationReportRequest, T_OctetString)      \
  A(96, AssociationRequest, T_AssociationRequest) A(97, AssociationResponse, T_AssociationResponse)         \
  A(98, ReleaseRequest, T_ReleaseRequest) A(99, ReleaseResponse, T_ReleaseResponse)                         \
  A(192, GetRequest, T_GetRequest) A(193, SetRequest, T_SetRequest)                                         \
  A(194, EventNotificationRequest, T_EventNotificationRequest) A(195, ActionRequest, T_ActionRequest)       \
  A(196, GetResponse, T_GetResponse) A(197, SetResponse, T_SetResponse)                                     \
  A(199, ActionResponse, T_ActionResponse) A(200, glo_GetRequest, T_OctetString)                            \
  A(201, glo_SetRequest, T_OctetString) A(203, glo_ActionRequest, T_OctetString)                            \
  A(204, glo_GetResponse, T_OctetString) A(205, glo_SetResponse, T_OctetString)                             \
  A(207, glo_ActionResponse, T_OctetString) A(208, ded_GetRequest, T_OctetString)                           \
  A(209, ded_SetRequest, T_OctetString) A(210, ded_EventNotificationRequest, T_OctetString)                 \
  A(211, ded_ActionRequest, T_OctetString) A(212, ded_GetResponse, T_OctetString)                           \
  A(213, ded_SetResponse, T_OctetString) A(215, ded_ActionResponse, T_OctetString)                          \
  A(216, ExceptionResponse, T_ExceptionResponse) A(217, AccessRequest, T_AccessRequest)                     \
  A(218, AccessResponse, T_AccessResponse) A(219, GeneralGloCiphering, T_GeneralGloCiphering)               \
  A(220, GeneralDedCiphering, T_GeneralDedCiphering) A(221, GeneralCiphering, T_GeneralCiphering)           \
  A(223, GeneralSigning, T_GeneralSigning) A(224, GeneralBlockTransfer, T_GeneralBlockTransfer)             \
  A(255, Data, T_Data)
#define QCHO_T_AccessRequestSpecification(A)                                                           \
  A(1, AccessRequestGet, T_AccessRequestGet) A(2, AccessRequestSet, T_AccessRequestSet)                \
  A(3, AccessRequestAction, T_AccessRequestAction)                                                     \
  A(4, AccessRequestGetWithSelection, T_AccessRequestGetWithSelection)                                 \
  A(5, AccessRequestSetWithSelection, T_AccessRequestSetWithSelection)
#define QCHO_T_AccessResponseSpecification(A)                                                  \
  A(1, AccessResponseGet, T_AccessResponseGet) A(2, AccessResponseSet, T_AccessResponseSet)    \
  A(3, AccessResponseAction, T_AccessResponseAction)
#define QCHO_T_ActionRequest(A)                                                                          \
  A(1, ActionRequestNormal, T_ActionRequestNormal) A(2, ActionRequestForNextPBlock, T_ActionRequestForNextPBlock) \
  A(3, ActionRequestWithList, T_ActionRequestWithList)                                                   \
  A(4, ActionRequestWithFirstPBlock, T_ActionRequestWithFirstPBlock)                                     \
  A(5, ActionRequestWithListAndFirstPBlock, T_ActionRequestWithListAndWithFirstPBlock)                   \
  A(6, ActionRequestWithPBlock, T_ActionRequestWithPBlock)
#define QCHO_T_ActionResponse(A)                                                                         \
  A(1, ActionResponseNormal, T_ActionResponseNormal) A(2, ActionResponseWithPBlock, T_ActionResponseWithPBlock) \
  A(3, ActionResponseWithList, T_ActionResponseWithList)                                                 \
  A(4, ActionResponseForNextPBlock, T_ActionResponseForNextPBlock)
#define QCHO_T_DataBlockGResult(A) A(0, RawData, T_OctetString) A(1, DataAccessResult, T_DataAccessResult)
#define QCHO_T_GetDataResult(A) A(0, Data, T_Data) A(1, DataAccessError, T_DataAccessResult)
#define QCHO_T_GetRequest(A)                                                                              \
  A(1, GetRequestNormal, T_GetRequestNormal) A(2, GetRequestForNextDataBlock, T_GetRequestForNextDatablock) \
  A(3, GetRequestWithList, T_GetRequestWithList)
#define QCHO_T_GetResponse(A)                                                                            \
  A(1, GetResponseNormal, T_GetResponseNormal) A(2, GetResponseWithDataBlock, T_GetResponseWithDataBlock) \
  A(3, GetResponseWithList, T_GetResponseWithList)
#define QCHO_T_KeyInfo(A) \
  A(0, IdentifiedKey, T_IdentifiedKey) A(1, WrappedKey, T_WrappedKey) A(2, AgreedKey, T_AgreedKey)
#define QCHO_T_ServiceError(A)                                                                           \
  A(0, ApplicationReference, T_ApplicationReference) A(1, HardwareResource, T_HardwareResource)          \
  A(2, VdeStateError, T_VdeStateError) A(3, Service, T_Service) A(4, Definition, T_Definition)           \
  A(5, Access, T_Access) A(6, Initiate, T_Initiate) A(7, LoadDataSet, T_LoadDataSet) A(9, Task, T_Task)  \
  A(10, OtherError, T_OtherError)
#define QCHO_T_SetRequest(A)                                                                             \
  A(1, SetRequestNormal, T_SetRequestNormal) A(2, SetRequestWithFirstDataBlock, T_SetRequestWithFirstDataBlock) \
  A(3, SetRequestWithDataBlock, T_SetRequestWithDataBlock) A(4, SetRequestWithList, T_SetRequestWithList) \
  A(5, SetRequestWithListAndWithFirstDatablock, T_SetRequestWithListAndWithFirstDatablock)
#define QCHO_T_SetResponse(A)                                                                            \
  A(1, SetResponseNormal, T_SetResponseNormal) A(2, SetResponseForDataBlock, T_SetResponseForDataBlock)  \
  A(3, SetResponseForLastDataBlock, T_SetResponseForLastDataBlock)                                       \
  A(4, SetResponseForLastDataBlockWithList, T_SetResponseForLastDataBlockWithList)                       \
  A(5, SetResponseWithList, T_SetResponseWithList)
#define QCHO_T_SingleReadResponse(A)                                                                     \
  A(0, Data, T_Data) A(1, DataAccessError, T_DataAccessResult) A(2, DataBlockResult, T_DataBlockResult)   \
  A(3, BlockNumber, T_Unsigned16)
#define QCHO_T_SingleWriteResponse(A) \
  A(0, Success, T_NullData) A(1, DataAccessError, T_DataAccessResult) A(2, BlockNumber, T_Unsigned16)
#define QCHO_T_VariableAccessSpecification(A)                                                            \
  A(2, VariableName, T_ObjectName) A(4, ParameterisedAccess, T_ParametrisedAccess)                       \
  A(5, BlockNumberAccess, T_BlockNumberAccess) A(6, ReadDataBlockAccess, T_ReadDataBlockAccess)          \
  A(7, WriteDataBlockAccess, T_WriteDataBlockAccess)

QUILLON_DECLARE_CHOICE(T_COSEMpdu, xmlIgnore)
QUILLON_DECLARE_CHOICE(T_AccessRequestSpecification, xml_AccessRequestSpecification)
QUILLON_DECLARE_CHOICE(T_AccessResponseSpecification, xml_AccessResponseSpecification)
QUILLON_DECLARE_CHOICE(T_ActionRequest, xml_ActionRequest)
QUILLON_DECLARE_CHOICE(T_ActionResponse, xml_ActionResponse)
QUILLON_DECLARE_CHOICE(T_DataBlockGResult, xml_DataBlockGResult)
QUILLON_DECLARE_CHOICE(T_GetDataResult, xml_GetDataResult)
QUILLON_DECLARE_CHOICE(T_GetRequest, xml_GetRequest)
QUILLON_DECLARE_CHOICE(T_GetResponse, xml_GetResponse)
QUILLON_DECLARE_CHOICE(T_KeyInfo, xml_KeyInfo)
QUILLON_DECLARE_CHOICE(T_ServiceError, xml_ServiceError)
QUILLON_DECLARE_CHOICE(T_SetRequest, xml_SetRequest)
QUILLON_DECLARE_CHOICE(T_SetResponse, xml_SetResponse)
QUILLON_DECLARE_CHOICE(T_SingleReadResponse, xml_SingleReadResponse)
QUILLON_DECLARE_CHOICE(T_SingleWriteResponse, xml_SingleWriteResponse)
QUILLON_DECLARE_CHOICE(T_VariableAccessSpecification, xml_VariableAccessSpecification)

// ---------------------------------------------------------------- SEQUENCEs
// (role, type, optional) per member, in wire order.

#define QSEQ_T_AccessRequest(M) \
  M(LongInvokeIdAndPriority, T_LongInvokeIdAndPriority, 0) M(DateTime, T_OctetString, 0) M(AccessRequestBody, T_AccessRequestBody, 0)
#define QSEQ_T_AccessRequestAction(M) M(MethodDescriptor, T_MethodDescriptor, 0)
#define QSEQ_T_AccessRequestBody(M) \
  M(AccessRequestSpecification, T_ListOfAccessRequestSpecification, 0) M(AccessRequestListOfData, T_ListOfData, 0)
#define QSEQ_T_AccessRequestGet(M) M(AttributeDescriptor, T_AttributeDescriptor, 0)
#define QSEQ_T_AccessRequestGetWithSelection(M) \
  M(AttributeDescriptor, T_AttributeDescriptor, 0) M(AccessSelection, T_SelectiveAccessDescriptor, 0)
#define QSEQ_T_AccessRequestSet(M) M(AttributeDescriptor, T_AttributeDescriptor, 0)
#define QSEQ_T_AccessRequestSetWithSelection(M) \
  M(AttributeDescriptor, T_AttributeDescriptor, 0) M(AccessSelection, T_SelectiveAccessDescriptor, 0)
#define QSEQ_T_AccessResponse(M) \
  M(LongInvokeIdAndPriority, T_LongInvokeIdAndPriority, 0) M(DateTime, T_OctetString, 0) M(AccessResponseBody, T_AccessResponseBody, 0)
#define QSEQ_T_AccessResponseAction(M) M(Result, T_ActionResult, 0)
#define QSEQ_T_AccessResponseBody(M)                                                  \
  M(AccessRequestSpecification, T_ListOfAccessRequestSpecification, 1)                \
  M(AccessResponseListOfData, T_ListOfData, 0)                                        \
  M(AccessResponseSpecification, T_ListOfAccessResponseSpecification, 0)
#define QSEQ_T_AccessResponseGet(M) M(Result, T_DataAccessResult, 0)
#define QSEQ_T_AccessResponseSet(M) M(Result, T_DataAccessResult, 0)
#define QSEQ_T_ActionRequestForNextPBlock(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(BlockNumber, T_Unsigned32, 0)
#define QSEQ_T_ActionRequestNormal(M)                                                            \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(MethodDescriptor, T_MethodDescriptor, 0) \
  M(MethodInvocationParameters, T_Data, 1)
#define QSEQ_T_ActionRequestWithFirstPBlock(M) \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(MethodDescriptor, T_MethodDescriptor, 0) M(PBlock, T_DataBlock_SA, 0)
#define QSEQ_T_ActionRequestWithList(M)                                                                 \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(MethodDescriptorList, T_ListOfMethodDescriptor, 0) \
  M(MethodInvocationParameters, T_ListOfData, 0)
#define QSEQ_T_ActionRequestWithListAndWithFirstPBlock(M)                                               \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(MethodDescriptorList, T_ListOfMethodDescriptor, 0) \
  M(PBlock, T_DataBlock_SA, 0)
#define QSEQ_T_ActionRequestWithPBlock(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(PBlock, T_DataBlock_SA, 0)
#define QSEQ_T_ActionResponseForNextPBlock(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(BlockNumber, T_Unsigned32, 0)
#define QSEQ_T_ActionResponseNormal(M) \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(Result, T_ActionResult, 0) M(ReturnParameters, T_GetDataResult, 1)
#define QSEQ_T_ActionResponseWithList(M) \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(ListOfSingleActionResponse, T_ListOfSingleActionResponse, 0)
#define QSEQ_T_ActionResponseWithPBlock(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(PBlock, T_DataBlock_SA, 0)
#define QSEQ_T_AgreedKey(M) M(KeyParameters, T_OctetString, 0) M(KeyCipheredData, T_OctetString, 0)
#define QSEQ_T_AttributeDescriptor(M) \
  M(ClassId, T_ClassId, 0) M(InstanceId, T_ObjectInstanceId, 0) M(AttributeId, T_ObjectAttributeId, 0)
#define QSEQ_T_AttributeDescriptorWithSelection(M) \
  M(AttributeDescriptor, T_AttributeDescriptor, 0) M(AccessSelection, T_SelectiveAccessDescriptor, 1)
#define QSEQ_T_BlockNumberAccess(M) M(BlockNumber, T_Unsigned16, 0)
#define QSEQ_T_ConfirmedServiceError(M) M(Service, T_Unsigned8, 0) M(ServiceError, T_ServiceError, 0)
#define QSEQ_T_DataBlockResult(M) M(LastBlock, T_Boolean, 0) M(BlockNumber, T_Unsigned16, 0) M(RawData, T_OctetString, 0)
#define QSEQ_T_DataBlock_G(M) M(LastBlock, T_Boolean, 0) M(BlockNumber, T_Unsigned32, 0) M(Result, T_DataBlockGResult, 0)
#define QSEQ_T_DataBlock_SA(M) M(LastBlock, T_Boolean, 0) M(BlockNumber, T_Unsigned32, 0) M(RawData, T_OctetString, 0)
#define QSEQ_T_DataNotification(M) \
  M(LongInvokeIdAndPriority, T_LongInvokeIdAndPriority, 0) M(DateTime, T_NotificationDateTime, 0) M(NotificationBody, T_NotificationBody, 0)
#define QSEQ_T_DataNotificationConfirm(M) M(LongInvokeIdAndPriority, T_LongInvokeIdAndPriority, 0) M(DateTime, T_OctetString, 0)
#define QSEQ_T_EventNotificationRequest(M) \
  M(Time, T_OctetString, 1) M(AttributeDescriptor, T_AttributeDescriptor, 0) M(AttributeValue, T_Data, 0)
#define QSEQ_T_ExceptionResponse(M) M(StateError, T_ExceptionStateError, 0) M(ServiceError, T_ExceptionServiceError, 0)
#define QSEQ_T_GeneralBlockTransfer(M)                                                                  \
  M(BlockControl, T_BlockControl, 0) M(BlockNumber, T_Unsigned16, 0) M(BlockNumberAck, T_Unsigned16, 0) \
  M(BlockData, T_OctetString, 0)
#define QSEQ_T_GeneralCiphering(M)                                                                             \
  M(TransactionId, T_OctetString, 0) M(OriginatorSystemTitle, T_OctetString, 0)                                \
  M(RecipientSystemTitle, T_OctetString, 0) M(DateTime, T_OctetString, 0) M(OtherInformation, T_OctetString, 0) \
  M(KeyInfo, T_KeyInfo, 1) M(CipheredContent, T_OctetString, 0)
#define QSEQ_T_GeneralDedCiphering(M) M(SystemTitle, T_OctetString, 0) M(CipheredService, T_OctetString, 0)
#define QSEQ_T_GeneralGloCiphering(M) M(SystemTitle, T_OctetString, 0) M(CipheredService, T_OctetString, 0)
#define QSEQ_T_GeneralSigning(M)                                                                               \
  M(TransactionId, T_OctetString, 0) M(OriginatorSystemTitle, T_OctetString, 0)                                \
  M(RecipientSystemTitle, T_OctetString, 0) M(DateTime, T_OctetString, 0) M(OtherInformation, T_OctetString, 0) \
  M(Content, T_OctetString, 0) M(Signature, T_OctetString, 0)
#define QSEQ_T_GetRequestForNextDatablock(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(BlockNumber, T_Unsigned32, 0)
#define QSEQ_T_GetRequestNormal(M)                                                                     \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(AttributeDescriptor, T_AttributeDescriptor, 0) \
  M(AccessSelection, T_SelectiveAccessDescriptor, 1)
#define QSEQ_T_GetRequestWithList(M) \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(AttributeDescriptorList, T_ListOfAttributeDescriptorWithSelection, 0)
#define QSEQ_T_GetResponseNormal(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(Result, T_GetDataResult, 0)
#define QSEQ_T_GetResponseWithDataBlock(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(Result, T_DataBlock_G, 0)
#define QSEQ_T_GetResponseWithList(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(Result, T_ListOfGetDataResult, 0)
#define QSEQ_T_IdentifiedKey(M) M(KeyId, T_KeyId, 0)
#define QSEQ_T_InformationReportRequest(M)                                                        \
  M(CurrentTime, T_OctetString, 1) M(ListOfVariableAccessSpecification, T_ListOfVariableAccessSpecifications, 0) \
  M(ListOfData, T_ListOfData, 0)
#define QSEQ_T_InitiateRequest(M)                                                                 \
  M(DedicatedKey, T_OctetString, 1) M(ResponseAllowed, T_Boolean, 1)                             \
  M(ProposedQualityOfService, T_Integer8, 1) M(ProposedDlmsVersionNumber, T_Unsigned8, 0)         \
  M(ProposedConformance, T_Conformance, 0) M(ProposedMaxPduSize, T_Unsigned16, 0)
#define QSEQ_T_InitiateResponse(M)                                                                   \
  M(NegotiatedQualityOfService, T_Integer8, 1) M(NegotiatedDlmsVersionNumber, T_Unsigned8, 0)        \
  M(NegotiatedConformance, T_Conformance, 0) M(NegotiatedMaxPduSize, T_Unsigned16, 0) M(VaaName, T_ObjectName, 0)
#define QSEQ_T_MethodDescriptor(M) M(ClassId, T_ClassId, 0) M(InstanceId, T_ObjectInstanceId, 0) M(MethodId, T_ObjectMethodId, 0)
#define QSEQ_T_NotificationBody(M) M(DataValue, T_Data, 0)
#define QSEQ_T_ParametrisedAccess(M) M(VariableName, T_ObjectName, 0) M(Selector, T_Unsigned8, 0) M(Parameter, T_Data, 0)
#define QSEQ_T_ReadDataBlockAccess(M) M(LastBlock, T_Boolean, 0) M(BlockNumber, T_Unsigned16, 0) M(RawData, T_OctetString, 0)
#define QSEQ_T_SelectiveAccessDescriptor(M) M(AccessSelector, T_Unsigned8, 0) M(AccessParameters, T_Data, 0)
#define QSEQ_T_SetRequestNormal(M)                                                                     \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(AttributeDescriptor, T_AttributeDescriptor, 0) \
  M(AccessSelection, T_SelectiveAccessDescriptor, 1) M(Value, T_Data, 0)
#define QSEQ_T_SetRequestWithDataBlock(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(DataBlock, T_DataBlock_SA, 0)
#define QSEQ_T_SetRequestWithFirstDataBlock(M)                                                         \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(AttributeDescriptor, T_AttributeDescriptor, 0) \
  M(AccessSelection, T_SelectiveAccessDescriptor, 1) M(DataBlock, T_DataBlock_SA, 0)
#define QSEQ_T_SetRequestWithList(M)                                                                             \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(AttributeDescriptorList, T_ListOfAttributeDescriptorWithSelection, 0) \
  M(ValueList, T_ListOfData, 0)
#define QSEQ_T_SetRequestWithListAndWithFirstDatablock(M)                                                        \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(AttributeDescriptorList, T_ListOfAttributeDescriptorWithSelection, 0) \
  M(DataBlock, T_DataBlock_SA, 0)
#define QSEQ_T_SetResponseForDataBlock(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(BlockNumber, T_Unsigned32, 0)
#define QSEQ_T_SetResponseForLastDataBlock(M) \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(Result, T_DataAccessResult, 0) M(BlockNumber, T_Unsigned32, 0)
#define QSEQ_T_SetResponseForLastDataBlockWithList(M) \
  M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(Result, T_ListOfDataAccessResult, 0) M(BlockNumber, T_Unsigned32, 0)
#define QSEQ_T_SetResponseNormal(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(Result, T_DataAccessResult, 0)
#define QSEQ_T_SetResponseWithList(M) M(InvokeIdAndPriority, T_InvokeIdAndPriority, 0) M(Result, T_ListOfDataAccessResult, 0)
#define QSEQ_T_SingleActionResponse(M) M(Result, T_ActionResult, 0) M(ReturnParameters, T_GetDataResult, 1)
#define QSEQ_T_UnconfirmedWriteRequest(M) \
  M(ListOfVariableAccessSpecification, T_ListOfVariableAccessSpecifications, 0) M(ListOfData, T_ListOfData, 0)
#define QSEQ_T_WrappedKey(M) M(KekId, T_KekId, 0) M(KeyCipheredData, T_OctetString, 0)
#define QSEQ_T_WriteDataBlockAccess(M) M(LastBlock, T_Boolean, 0) M(BlockNumber, T_Unsigned16, 0)
#define QSEQ_T_WriteRequest(M) \
  M(ListOfVariableAccessSpecification, T_ListOfVariableAccessSpecifications, 0) M(ListOfData, T_ListOfData, 0)

QUILLON_CATALOGUE_SEQUENCES(QUILLON_DECLARE_SEQUENCE)

// ------------------------------------------------------------ SEQUENCE OFs

QUILLON_DECLARE_SEQUENCE_OF(T_ListOfAccessRequestSpecification, T_AccessRequestSpecification, xml_AccessRequestSpecification)
QUILLON_DECLARE_SEQUENCE_OF(T_ListOfAccessResponseSpecification, T_AccessResponseSpecification, xml_AccessResponseSpecification)
QUILLON_DECLARE_SEQUENCE_OF(T_ListOfAttributeDescriptorWithSelection, T_AttributeDescriptorWithSelection, xml_AttributeDescriptorWithSelection)
QUILLON_DECLARE_SEQUENCE_OF(T_ListOfData, T_Data, xml_Data)
QUILLON_DECLARE_SEQUENCE_OF(T_ListOfDataAccessResult, T_DataAccessResult, xml_DataAccessResult)
QUILLON_DECLARE_SEQUENCE_OF(T_ListOfGetDataResult, T_GetDataResult, xml_GetDataResult)
QUILLON_DECLARE_SEQUENCE_OF(T_ListOfMethodDescriptor, T_MethodDescriptor, xml_MethodDescriptor)
QUILLON_DECLARE_SEQUENCE_OF(T_ListOfSingleActionResponse, T_SingleActionResponse, xml_SingleActionResponse)
QUILLON_DECLARE_SEQUENCE_OF(T_ListOfVariableAccessSpecifications, T_VariableAccessSpecification, xml_VariableAccessSpecification)
QUILLON_DECLARE_SEQUENCE_OF(T_ReadRequest, T_VariableAccessSpecification, xml_VariableAccessSpecification)
QUILLON_DECLARE_SEQUENCE_OF(T_ReadResponse, T_SingleReadResponse, xml_SingleReadResponse)
QUILLON_DECLARE_SEQUENCE_OF(T_WriteResponse, T_SingleWriteResponse, xml_SingleWriteResponse)

}  // namespace quillon
