// Requests in their XML form that several engine tests (and the engine's
// fuzz harness) send: the serial number, a register, a clock method.
#pragma once

namespace enginetest {

inline constexpr char kGetWithList[] =
    "<GetRequestWithList><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptorList Qty=\"0002\">"
    "<_AttributeDescriptorWithSelection><AttributeDescriptor><ClassId Value=\"0001\" />"
    "<InstanceId Value=\"0000600100FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor>"
    "</_AttributeDescriptorWithSelection><_AttributeDescriptorWithSelection><AttributeDescriptor>"
    "<ClassId Value=\"0003\" /><InstanceId Value=\"0100010800FF\" /><AttributeId Value=\"02\" />"
    "</AttributeDescriptor></_AttributeDescriptorWithSelection></AttributeDescriptorList></GetRequestWithList>";

inline constexpr char kSetOctets4[] =
    "<SetRequestNormal><InvokeIdAndPriority Value=\"C1\" /><AttributeDescriptor><ClassId Value=\"0001\" />"
    "<InstanceId Value=\"0000600100FF\" /><AttributeId Value=\"02\" /></AttributeDescriptor>"
    "<Value><OctetString Value=\"01020304\" /></Value></SetRequestNormal>";

inline constexpr char kAction[] =
    "<ActionRequestNormal><InvokeIdAndPriority Value=\"C1\" /><MethodDescriptor><ClassId Value=\"0008\" />"
    "<InstanceId Value=\"0000010000FF\" /><MethodId Value=\"01\" /></MethodDescriptor>"
    "<MethodInvocationParameters><Integer Value=\"00\" /></MethodInvocationParameters></ActionRequestNormal>";

}  // namespace enginetest
