// The camera's device properties: the five property sets, their range and
// default tables, and the get and set handlers that turn them into camera
// settings, registry values and decoder options.
#include "torvexv.h"

namespace {

// Range and step, default, member lists and values of one picture control.
#define PICTURE_CONTROL_TABLES(Name, Minimum, Maximum, Step, DefaultValue)                                 \
  const KSPROPERTY_STEPPING_LONG Name##RangeAndStep[] = {{Step, 0, {{Minimum, Maximum}}}};                 \
  const LONG Name##Default = DefaultValue;                                                                   \
  const KSPROPERTY_MEMBERSLIST Name##MembersList[] = {                                                       \
      {{KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, Name##RangeAndStep},              \
      {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &Name##Default},         \
  };                                                                                                         \
  const KSPROPERTY_VALUES Name##Values = {{KSPROPTYPESETID_General, VT_I4, 0}, 2, Name##MembersList};

PICTURE_CONTROL_TABLES(Brightness, -128, 127, 25, 0)
PICTURE_CONTROL_TABLES(Contrast, 0, 255, 25, 64)
PICTURE_CONTROL_TABLES(Saturation, 64, 128, 8, 128)
PICTURE_CONTROL_TABLES(Sharpness, 0, 63, 6, 16)
PICTURE_CONTROL_TABLES(WhiteBalance, 1, 31, 3, 14)
PICTURE_CONTROL_TABLES(Gamma, 0, 15, 1, 8)
PICTURE_CONTROL_TABLES(BacklightComp, 0, 1, 1, 0)
PICTURE_CONTROL_TABLES(Roll, 0, 270, 90, 0)
PICTURE_CONTROL_TABLES(Exposure, 0, 1, 1, 0)

#undef PICTURE_CONTROL_TABLES

constexpr ULONG kControlSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S);

constexpr KSPROPERTY_ITEM ControlItem(ULONG id, const KSPROPERTY_VALUES* values) {
  return {id, {TRUE}, kControlSize, kControlSize, {TRUE}, values, 0, nullptr, nullptr, sizeof(ULONG)};
}

constexpr KSPROPERTY_ITEM PlainItem(ULONG id, ULONG size, BOOLEAN settable) {
  return {id, {TRUE}, size, size, {settable}, nullptr, 0, nullptr, nullptr, 0};
}

const KSPROPERTY_ITEM VideoProcAmpProperties[] = {
    ControlItem(KSPROPERTY_VIDEOPROCAMP_CONTRAST, &ContrastValues),
    ControlItem(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &BrightnessValues),
    ControlItem(KSPROPERTY_VIDEOPROCAMP_SATURATION, &SaturationValues),
    ControlItem(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, &SharpnessValues),
    ControlItem(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, &WhiteBalanceValues),
    ControlItem(KSPROPERTY_VIDEOPROCAMP_GAMMA, &GammaValues),
    ControlItem(KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION, &BacklightCompValues),
};

const KSPROPERTY_ITEM CameraControlProperties[] = {
    ControlItem(KSPROPERTY_CAMERACONTROL_ROLL, &RollValues),
    ControlItem(KSPROPERTY_CAMERACONTROL_EXPOSURE, &ExposureValues),
};

const KSPROPERTY_ITEM VideoControlProperties[] = {
    PlainItem(KSPROPERTY_VIDEOCONTROL_CAPS, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S), FALSE),
    PlainItem(KSPROPERTY_VIDEOCONTROL_MODE, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S), TRUE),
};

const KSPROPERTY_ITEM AnalogVideoDecoder[] = {
    PlainItem(KSPROPERTY_VIDEODECODER_CAPS, sizeof(KSPROPERTY_VIDEODECODER_CAPS_S), FALSE),
    PlainItem(KSPROPERTY_VIDEODECODER_STANDARD, sizeof(KSPROPERTY_VIDEODECODER_S), TRUE),
    PlainItem(KSPROPERTY_VIDEODECODER_STATUS, sizeof(KSPROPERTY_VIDEODECODER_STATUS_S), FALSE),
    PlainItem(KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, sizeof(KSPROPERTY_VIDEODECODER_S), TRUE),
    PlainItem(KSPROPERTY_VIDEODECODER_VCR_TIMING, sizeof(KSPROPERTY_VIDEODECODER_S), TRUE),
};

const KSPROPERTY_ITEM VideoStreamCompressionProperties[] = {
    PlainItem(KSPROPERTY_VIDEOCOMPRESSION_GETINFO, sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S), FALSE),
    PlainItem(KSPROPERTY_VIDEOCOMPRESSION_QUALITY, sizeof(KSPROPERTY_VIDEOCOMPRESSION_S), TRUE),
};

template <class T, size_t N>
constexpr ULONG CountOf(const T (&)[N]) {
  return N;
}

// A picture control of the video processing amplifier set: its camera request
// and its fields.
struct PictureControl {
  ULONG id;
  UCHAR request;
  LONG AdapterExtension::*value;
  LONG AdapterExtension::*flags;
};

const PictureControl PictureControls[] = {
    {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, VENDOR_BRIGHTNESS, &AdapterExtension::Brightness,
     &AdapterExtension::BrightnessFlags},
    {KSPROPERTY_VIDEOPROCAMP_CONTRAST, VENDOR_CONTRAST, &AdapterExtension::Contrast, &AdapterExtension::ContrastFlags},
    {KSPROPERTY_VIDEOPROCAMP_SATURATION, VENDOR_SATURATION, &AdapterExtension::Saturation,
     &AdapterExtension::SaturationFlags},
    {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, VENDOR_SHARPNESS, &AdapterExtension::Sharpness,
     &AdapterExtension::SharpnessFlags},
    {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, VENDOR_WHITE_BALANCE, &AdapterExtension::WhiteBalance,
     &AdapterExtension::WhiteBalanceFlags},
    {KSPROPERTY_VIDEOPROCAMP_GAMMA, VENDOR_GAMMA, &AdapterExtension::Gamma, &AdapterExtension::GammaFlags},
    {KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION, VENDOR_BACKLIGHT_COMP, &AdapterExtension::BacklightComp,
     &AdapterExtension::BacklightCompFlags},
};

const PictureControl* FindPictureControl(ULONG id) {
  for (const PictureControl& control : PictureControls)
    if (control.id == id) return &control;
  return nullptr;
}

AdapterExtension* AdapterOf(PHW_STREAM_REQUEST_BLOCK srb) {
  return static_cast<AdapterExtension*>(srb->HwDeviceExtension);
}

// The request's value buffer as T, or nullptr (STATUS_BUFFER_TOO_SMALL) when it is smaller.
template <class T>
T* PropertyValue(PHW_STREAM_REQUEST_BLOCK srb) {
  PSTREAM_PROPERTY_DESCRIPTOR property = srb->CommandData.PropertyInfo;
  if (property->PropertyOutputSize < sizeof(T) || !property->PropertyInfo) {
    srb->Status = STATUS_BUFFER_TOO_SMALL;
    return nullptr;
  }
  return static_cast<T*>(property->PropertyInfo);
}

// The request's property (input) buffer as T, or nullptr likewise.
template <class T>
const T* PropertyRequest(PHW_STREAM_REQUEST_BLOCK srb) {
  PSTREAM_PROPERTY_DESCRIPTOR property = srb->CommandData.PropertyInfo;
  if (property->PropertyInputSize < sizeof(T)) {
    srb->Status = STATUS_BUFFER_TOO_SMALL;
    return nullptr;
  }
  return reinterpret_cast<const T*>(property->Property);
}

ULONG PropertyId(PHW_STREAM_REQUEST_BLOCK srb) { return srb->CommandData.PropertyInfo->Property->Id; }

// The value in a camera reply: brightness carries its sign in bit 0 of byte 2.
LONG ReplyValue(UCHAR request, const UCHAR* reply) {
  if (request == VENDOR_BRIGHTNESS && (reply[2] & 1)) return static_cast<LONG>(reply[1]) - 256;
  return reply[1];
}

// Saturation 128 travels as 0 (the camera's register has 7 bits).
LONG ReportedSaturation(LONG stored, LONG limit) { return stored <= limit ? 128 : stored; }

VOID SetWhiteBalance(AdapterExtension* adapter, KSPROPERTY_VIDEOPROCAMP_S* data) {
  UCHAR reply[DEVICE_SETTING_REPLY_LENGTH] = {};
  adapter->WhiteBalance = data->Value;
  adapter->WhiteBalanceFlags = static_cast<LONG>(data->Flags);
  // The mode first, then the level as (32 - level, level).
  if (IsoUsb_Vendor_DeviceSetting(adapter, VENDOR_WHITE_BALANCE, SETTING_WRITE_MODE,
                                  static_cast<USHORT>(data->Flags), reply) &&
      reply[1] != data->Flags)
    adapter->WhiteBalanceFlags = reply[1];
  const LONG level = data->Value;
  const USHORT wIndex = static_cast<USHORT>(((32 - level) << 8) | (level & 0xFF));
  if (IsoUsb_Vendor_DeviceSetting(adapter, VENDOR_WHITE_BALANCE, SETTING_WRITE_VALUE, wIndex, reply) &&
      (reply[1] != level || reply[2] != 32 - level))
    adapter->WhiteBalance = reply[1];
  data->Value = adapter->WhiteBalance & 0xFF;
  data->Flags = static_cast<ULONG>(adapter->WhiteBalanceFlags);
}

// Roll in quarter turns: up to 0 -> 0, 1..90 -> 90, 91..180 -> 180, 181..270 -> 270, beyond -> 0.
LONG RollQuarterTurn(LONG value) {
  if (value <= 0 || value > 270) return 0;
  return (value + 89) / 90 * 90;
}

// The video-control mode or compression quality an index addresses: the open
// stream's own copy, else the adapter's. nullptr (STATUS_INVALID_PARAMETER) for
// an index above 1.
StreamExtension* StreamAtIndex(PHW_STREAM_REQUEST_BLOCK srb, ULONG streamIndex, BOOLEAN* valid) {
  *valid = streamIndex < MAX_STREAMS;
  if (!*valid) {
    srb->Status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  return AdapterOf(srb)->OpenStreams[streamIndex];
}

}  // namespace

const KSPROPERTY_SET AdapterPropertyTable[NUM_ADAPTER_PROPERTY_SETS] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, CountOf(VideoProcAmpProperties), VideoProcAmpProperties, 0, nullptr},
    {&PROPSETID_VIDCAP_CAMERACONTROL, CountOf(CameraControlProperties), CameraControlProperties, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOCONTROL, CountOf(VideoControlProperties), VideoControlProperties, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEODECODER, CountOf(AnalogVideoDecoder), AnalogVideoDecoder, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOCOMPRESSION, CountOf(VideoStreamCompressionProperties), VideoStreamCompressionProperties,
     0, nullptr},
};

LONG AdapterReadRollFromRegistry() {
  ULONG quarterTurns = 0;
  IsoUsb_GetRegistryDword(TORVEX_PRODUCT_KEY, TORVEX_ROTATE_STATE_VALUE, &quarterTurns);
  return quarterTurns <= 3 ? static_cast<LONG>(quarterTurns) * 90 : 0;
}

VOID AdapterSetPictureControlDefaults(AdapterExtension* adapter) {
  const LONG automatic = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
  adapter->Brightness = BrightnessDefault;
  adapter->Contrast = ContrastDefault;
  adapter->Saturation = SaturationDefault;
  adapter->Sharpness = SharpnessDefault;
  adapter->WhiteBalance = WhiteBalanceDefault;
  adapter->Gamma = GammaDefault;
  adapter->BacklightComp = BacklightCompDefault;
  adapter->BrightnessFlags = adapter->ContrastFlags = adapter->SaturationFlags = adapter->SharpnessFlags =
      adapter->WhiteBalanceFlags = adapter->GammaFlags = adapter->BacklightCompFlags = automatic;
  WriteShared(&adapter->Roll, AdapterReadRollFromRegistry());
  adapter->RollFlags = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
  adapter->Exposure = ExposureDefault;
  adapter->ExposureFlags = automatic;
  adapter->VideoStandard = adapter->OutputEnable = adapter->VcrTiming = 0;
  adapter->VideoControlMode = KS_VideoControlFlag_FlipHorizontal;  // mirrored picture
  adapter->KeyFrameRate = 15;
  adapter->PFramesPerKeyFrame = 3;
  adapter->Quality = 0;
}

VOID AdapterGetProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  const GUID& set = srb->CommandData.PropertyInfo->Property->Set;
  if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEOPROCAMP))
    AdapterGetVideoProcAmpProperty(srb);
  else if (IsEqualGUID(set, PROPSETID_VIDCAP_CAMERACONTROL))
    AdapterGetCameraControlProperty(srb);
  else if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEODECODER))
    AdapterGetAnalogVideoDecoderProperty(srb);
  else if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEOCONTROL))
    AdapterGetVideoControlProperty(srb);
  else if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEOCOMPRESSION))
    AdapterGetVideoCompressionProperty(srb);
  else
    srb->Status = STATUS_NOT_IMPLEMENTED;
}

VOID AdapterSetProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  const GUID& set = srb->CommandData.PropertyInfo->Property->Set;
  if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEOPROCAMP))
    AdapterSetVideoProcAmpProperty(srb);
  else if (IsEqualGUID(set, PROPSETID_VIDCAP_CAMERACONTROL))
    AdapterSetCameraControlProperty(srb);
  else if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEODECODER))
    AdapterSetAnalogVideoDecoderProperty(srb);
  else if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEOCONTROL))
    AdapterSetVideoControlProperty(srb);
  else if (IsEqualGUID(set, PROPSETID_VIDCAP_VIDEOCOMPRESSION))
    AdapterSetVideoCompressionProperty(srb);
  else
    srb->Status = STATUS_NOT_IMPLEMENTED;
}

VOID AdapterSetVideoProcAmpProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  auto data = PropertyValue<KSPROPERTY_VIDEOPROCAMP_S>(srb);
  const PictureControl* control = FindPictureControl(PropertyId(srb));
  if (!data || !control) return;
  if (control->request == VENDOR_WHITE_BALANCE) {
    SetWhiteBalance(adapter, data);
  } else {
    const BOOLEAN saturation = control->request == VENDOR_SATURATION;
    LONG& value = adapter->*control->value;
    value = saturation ? (data->Value & 0x7F) : data->Value;
    adapter->*control->flags = static_cast<LONG>(data->Flags);
    // The camera's answer wins: it holds the value it really took.
    UCHAR reply[DEVICE_SETTING_REPLY_LENGTH] = {};
    if (IsoUsb_Vendor_DeviceSetting(adapter, control->request, SETTING_WRITE_VALUE, static_cast<USHORT>(value),
                                    reply))
      value = ReplyValue(control->request, reply);
    data->Value = saturation ? ReportedSaturation(value, 0) : value;
  }
  srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
}

VOID AdapterGetVideoProcAmpProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  auto data = PropertyValue<KSPROPERTY_VIDEOPROCAMP_S>(srb);
  if (!data) return;
  srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
  const PictureControl* control = FindPictureControl(PropertyId(srb));
  if (!control) return;
  UCHAR reply[DEVICE_SETTING_REPLY_LENGTH] = {};
  if (control->request == VENDOR_WHITE_BALANCE) {
    if (IsoUsb_Vendor_DeviceSetting(adapter, VENDOR_WHITE_BALANCE, SETTING_READ_MODE, 0, reply))
      adapter->WhiteBalanceFlags = reply[1];
    if (IsoUsb_Vendor_DeviceSetting(adapter, VENDOR_WHITE_BALANCE, SETTING_READ_VALUE, 0, reply))
      adapter->WhiteBalance = reply[1];
    data->Value = adapter->WhiteBalance & 0xFF;
    data->Flags = static_cast<ULONG>(adapter->WhiteBalanceFlags);
    data->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO | KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    return;
  }
  LONG& value = adapter->*control->value;
  if (IsoUsb_Vendor_DeviceSetting(adapter, control->request, SETTING_READ_VALUE, 0, reply))
    value = ReplyValue(control->request, reply);
  data->Value = control->request == VENDOR_SATURATION ? ReportedSaturation(value, 63) : value;
  data->Flags = static_cast<ULONG>(adapter->*control->flags);
  data->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
}

VOID AdapterSetCameraControlProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  auto data = PropertyValue<KSPROPERTY_CAMERACONTROL_S>(srb);
  if (!data) return;
  switch (PropertyId(srb)) {
    case KSPROPERTY_CAMERACONTROL_ROLL: {
      // No camera request: the decoder rotates the next frame.
      const LONG roll = RollQuarterTurn(data->Value);
      data->Value = roll;
      ULONG quarterTurns = static_cast<ULONG>(roll / 90);
      IsoUsb_SetRegistryDword(TORVEX_PRODUCT_KEY, TORVEX_ROTATE_STATE_VALUE, &quarterTurns);
      WriteShared(&adapter->Roll, roll);
      adapter->RollFlags = static_cast<LONG>(data->Flags);
      break;
    }
    case KSPROPERTY_CAMERACONTROL_EXPOSURE: {
      // Only the mode reaches the camera.
      adapter->Exposure = data->Value;
      adapter->ExposureFlags = static_cast<LONG>(data->Flags);
      UCHAR reply[DEVICE_SETTING_REPLY_LENGTH] = {};
      if (IsoUsb_Vendor_DeviceSetting(adapter, VENDOR_EXPOSURE, SETTING_WRITE_MODE, static_cast<USHORT>(data->Flags),
                                      reply) &&
          reply[1] != data->Flags)
        adapter->ExposureFlags = reply[1];
      break;
    }
    default: return;
  }
  srb->ActualBytesTransferred = sizeof(KSPROPERTY_CAMERACONTROL_S);
}

VOID AdapterGetCameraControlProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  auto data = PropertyValue<KSPROPERTY_CAMERACONTROL_S>(srb);
  if (!data) return;
  srb->ActualBytesTransferred = sizeof(KSPROPERTY_CAMERACONTROL_S);
  switch (PropertyId(srb)) {
    case KSPROPERTY_CAMERACONTROL_ROLL:
      data->Value = ReadShared(&adapter->Roll);
      data->Flags = static_cast<ULONG>(adapter->RollFlags);
      data->Capabilities = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
      break;
    case KSPROPERTY_CAMERACONTROL_EXPOSURE: {
      UCHAR reply[DEVICE_SETTING_REPLY_LENGTH] = {};
      if (IsoUsb_Vendor_DeviceSetting(adapter, VENDOR_EXPOSURE, SETTING_READ_MODE, 0, reply))
        adapter->ExposureFlags = reply[1];
      data->Value = adapter->Exposure;
      data->Flags = static_cast<ULONG>(adapter->ExposureFlags);
      data->Capabilities = KSPROPERTY_CAMERACONTROL_FLAGS_AUTO | KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
      break;
    }
    default: break;
  }
}

VOID AdapterSetAnalogVideoDecoderProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  auto data = PropertyValue<KSPROPERTY_VIDEODECODER_S>(srb);
  if (!data) return;
  switch (PropertyId(srb)) {
    case KSPROPERTY_VIDEODECODER_STANDARD: adapter->VideoStandard = static_cast<LONG>(data->Value); break;
    case KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE: adapter->OutputEnable = static_cast<LONG>(data->Value); break;
    case KSPROPERTY_VIDEODECODER_VCR_TIMING: adapter->VcrTiming = static_cast<LONG>(data->Value); break;
    default: break;
  }
}

VOID AdapterGetAnalogVideoDecoderProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  switch (PropertyId(srb)) {
    case KSPROPERTY_VIDEODECODER_CAPS: {
      auto caps = PropertyValue<KSPROPERTY_VIDEODECODER_CAPS_S>(srb);
      if (!caps) return;
      caps->StandardsSupported = 0;
      caps->Capabilities = KS_VIDEODECODER_FLAGS_CAN_DISABLE_OUTPUT | KS_VIDEODECODER_FLAGS_CAN_USE_VCR_LOCKING |
                           KS_VIDEODECODER_FLAGS_CAN_INDICATE_LOCKED;
      caps->SettlingTime = 10;
      caps->HSyncPerVSync = 6;
      srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEODECODER_CAPS_S);
      break;
    }
    case KSPROPERTY_VIDEODECODER_STATUS: {
      auto status = PropertyValue<KSPROPERTY_VIDEODECODER_STATUS_S>(srb);
      if (!status) return;
      status->NumberOfLines = (adapter->VideoStandard & KS_AnalogVideo_NTSC_Mask) ? 525 : 625;
      status->SignalLocked = 1;
      srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEODECODER_STATUS_S);
      break;
    }
    case KSPROPERTY_VIDEODECODER_STANDARD:
    case KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE:
    case KSPROPERTY_VIDEODECODER_VCR_TIMING: {
      auto data = PropertyValue<KSPROPERTY_VIDEODECODER_S>(srb);
      if (!data) return;
      const ULONG id = PropertyId(srb);
      const LONG value = id == KSPROPERTY_VIDEODECODER_STANDARD        ? adapter->VideoStandard
                         : id == KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE ? adapter->OutputEnable
                                                                       : adapter->VcrTiming;
      data->Value = static_cast<ULONG>(value);
      srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEODECODER_S);
      break;
    }
    default: break;
  }
}

VOID AdapterSetVideoControlProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  auto request = PropertyRequest<KSPROPERTY_VIDEOCONTROL_MODE_S>(srb);
  if (!request) return;
  BOOLEAN valid;
  StreamExtension* stream = StreamAtIndex(srb, request->StreamIndex, &valid);
  if (!valid || PropertyId(srb) != KSPROPERTY_VIDEOCONTROL_MODE) return;
  auto data = PropertyValue<KSPROPERTY_VIDEOCONTROL_MODE_S>(srb);
  if (!data) return;
  // The mirror bit applies at the next start of streaming.
  if (stream) stream->VideoControlMode = data->Mode;
  adapter->VideoControlMode = data->Mode;
}

VOID AdapterGetVideoControlProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  auto request = PropertyRequest<KSPROPERTY_VIDEOCONTROL_MODE_S>(srb);
  if (!request) return;
  BOOLEAN valid;
  StreamExtension* stream = StreamAtIndex(srb, request->StreamIndex, &valid);
  if (!valid) return;
  switch (PropertyId(srb)) {
    case KSPROPERTY_VIDEOCONTROL_CAPS: {
      auto caps = PropertyValue<KSPROPERTY_VIDEOCONTROL_CAPS_S>(srb);
      if (!caps) return;
      caps->VideoControlCaps = KS_VideoControlFlag_FlipHorizontal;
      srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S);
      break;
    }
    case KSPROPERTY_VIDEOCONTROL_MODE: {
      auto data = PropertyValue<KSPROPERTY_VIDEOCONTROL_MODE_S>(srb);
      if (!data) return;
      data->Mode = stream ? stream->VideoControlMode : adapter->VideoControlMode;
      srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S);
      break;
    }
    default: break;
  }
}

VOID AdapterSetVideoCompressionProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  // The value to set travels in the property itself.
  auto request = PropertyRequest<KSPROPERTY_VIDEOCOMPRESSION_S>(srb);
  if (!request) return;
  BOOLEAN valid;
  StreamExtension* stream = StreamAtIndex(srb, request->StreamIndex, &valid);
  if (!valid || PropertyId(srb) != KSPROPERTY_VIDEOCOMPRESSION_QUALITY) return;
  if (stream) stream->Quality = request->Value;
  adapter->Quality = request->Value;
}

VOID AdapterGetVideoCompressionProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  auto request = PropertyRequest<KSPROPERTY_VIDEOCOMPRESSION_S>(srb);
  if (!request) return;
  BOOLEAN valid;
  StreamExtension* stream = StreamAtIndex(srb, request->StreamIndex, &valid);
  if (!valid) return;
  switch (PropertyId(srb)) {
    case KSPROPERTY_VIDEOCOMPRESSION_GETINFO: {
      auto info = PropertyValue<KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S>(srb);
      if (!info) return;
      info->DefaultQuality = 0;
      info->Capabilities = KS_CompressionCaps_CanQuality;
      srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S);
      break;
    }
    case KSPROPERTY_VIDEOCOMPRESSION_QUALITY: {
      auto data = PropertyValue<KSPROPERTY_VIDEOCOMPRESSION_S>(srb);
      if (!data) return;
      data->Value = stream ? stream->Quality : adapter->Quality;
      srb->ActualBytesTransferred = sizeof(KSPROPERTY_VIDEOCOMPRESSION_S);
      break;
    }
    default: break;
  }
}
