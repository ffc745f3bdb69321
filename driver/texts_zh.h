// Every Chinese text of the driver, in UTF-8, in one place: the status
// report's keys and words, the alarm titles and details, and the messages of
// the value lookup. This is the one source file that is not ASCII; all others
// name these constants.
#pragma once

namespace norvane::zh {

// Keys of the status report, in the order in which a rebuild assigns them.
inline constexpr char kSetTemperature[] = "设定温度";
inline constexpr char kSetHumidity[] = "设定湿度";
inline constexpr char kTemperaturePrecision[] = "温度精度设定";
inline constexpr char kHumidityPrecision[] = "湿度精度设定";
inline constexpr char kReturnTempUpperLimit[] = "回风温度上限设定";
inline constexpr char kReturnTempLowerLimit[] = "回风温度下限设定";
inline constexpr char kReturnHumidityUpperLimit[] = "回风湿度上限设定";
inline constexpr char kReturnHumidityLowerLimit[] = "回风湿度下限设定";
inline constexpr char kUnitOnOff[] = "机组开/关机设定";
inline constexpr char kTouchScreenLock[] = "屏蔽触摸屏设定";
inline constexpr char kClearFault[] = "清除故障";
inline constexpr char kReturnAirTemp[] = "回风温度";
inline constexpr char kReturnAirHumidity[] = "回风湿度";
inline constexpr char kSupplyAirTemp[] = "送风温度";
inline constexpr char kSupplyAirHumidity[] = "送风湿度";
inline constexpr char kUnitFault[] = "整机故障";
inline constexpr char kRunState[] = "运行状态";
inline constexpr char kRunMode[] = "运行模式";
inline constexpr char kFilterClogged[] = "过滤器堵塞";
inline constexpr char kFloorWater[] = "地面有水报警";
inline constexpr char kIndoorFan[] = "内风机";
inline constexpr char kCompressor[] = "压缩机";
inline constexpr char kHeater[] = "电加热";
inline constexpr char kHumidifier[] = "加湿器";
inline constexpr char kDrainAlarm[] = "冷凝水排水异常报警";
inline constexpr char kIndoorFanFault[] = "内风机故障";
inline constexpr char kCompressorFault[] = "压缩机故障";
inline constexpr char kHeaterFault[] = "电加热故障";
inline constexpr char kHumidifierFault[] = "加湿器故障";
inline constexpr char kOutdoorUnitFault[] = "外机故障";
inline constexpr char kHeartbeat[] = "通讯心跳";
inline constexpr char kReturnTempHighSwing[] = "回风温度过高波动超限";
inline constexpr char kReturnTempLowSwing[] = "回风温度过低波动超限";
inline constexpr char kReturnHumidityHighSwing[] = "回风湿度过高波动超限";
inline constexpr char kReturnHumidityLowSwing[] = "回风湿度过低波动超限";
inline constexpr char kPowerFault[] = "电源故障";
inline constexpr char kTouchScreenCommFault[] = "触摸屏通讯故障";
inline constexpr char kLowAirPressure[] = "低风压报警";
inline constexpr char kCompressorHighPressure[] = "压缩机高压保护";
inline constexpr char kCompressorLowPressure[] = "压缩机低压保护";
inline constexpr char kIndoorFanRunTime[] = "内风机运行时间";
inline constexpr char kCompressorRunTime[] = "压缩机运行时间";
inline constexpr char kHumidifierRunTime[] = "加湿器运行时间";
inline constexpr char kHeaterRunTime[] = "电加热运行时间";
inline constexpr char kUpdateTime[] = "更新时间";

// Words of the report's values.
inline constexpr char kSwitchedOff[] = "关闭";  // unit on/off setting 85
inline constexpr char kSwitchedOn[] = "开启";   // unit on/off setting 170
inline constexpr char kNotLocked[] = "不屏蔽";
inline constexpr char kLocked[] = "屏蔽";
inline constexpr char kKeepFaults[] = "不清除";
inline constexpr char kClearFaults[] = "清除故障";  // the same text as the key kClearFault
inline constexpr char kAbsent[] = "无";
inline constexpr char kPresent[] = "有";
inline constexpr char kStopped[] = "关机";
inline constexpr char kRunning[] = "开机";
inline constexpr char kAutomatic[] = "自动";
inline constexpr char kManual[] = "手动";
inline constexpr char kOff[] = "关";
inline constexpr char kOn[] = "开";
inline constexpr char kInvalidValue[] = "无效值";  // a word outside an enumeration's list
inline constexpr char kAlarm[] = "告警";           // flag word not 0
inline constexpr char kNormal[] = "正常";          // flag word 0

// Alarm titles, by signal.
inline constexpr char kTitleReturnTempHigh[] = "精密空调回风温度高告警";
inline constexpr char kTitleReturnTempLow[] = "精密空调回风温度低告警";
inline constexpr char kTitleReturnHumidityHigh[] = "精密空调回风湿度高告警";
inline constexpr char kTitleReturnHumidityLow[] = "精密空调回风湿度低告警";
inline constexpr char kTitleFloorWater[] = "精密空调水浸告警";
inline constexpr char kTitleHumidifier[] = "001#精密空调加湿器告警";
inline constexpr char kTitleFilter[] = "001#精密空调过滤网脏告警";
inline constexpr char kTitleFanOverload[] = "001#精密空调风机过载告警";

// Alarm details: a prefix followed by the measured value (the colon is
// ASCII), or a fixed label.
inline constexpr char kDetailTemperature[] = "当前温度:";
inline constexpr char kDetailHumidity[] = "当前湿度:";
inline constexpr char kDetailFloorWater[] = "水浸报警";
inline constexpr char kDetailHumidifier[] = "精密空调加湿器告警";
inline constexpr char kDetailFilter[] = "滤网堵塞报警";
inline constexpr char kDetailFanOverload[] = "风机过载故障";

// Messages of the value lookup.
inline constexpr char kDataNotReady[] = "数据未就绪";
inline constexpr char kDataTimedOut[] = "数据已超时";
inline constexpr char kVariableNotSupported[] = "不支持变量";

}  // namespace norvane::zh
