#pragma once
// The modal dialog in which the user edits one slot: six tabs loaded from the
// slot when it opens; OK checks the folder and the recording length, writes
// every field back into the slot and says which groups changed, so the caller
// knows whether to restart the source or start a new file. Cancel changes
// nothing. Main thread only; the slot's threads go on running meanwhile (each
// field is replaced whole).
#include <QDialog>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class TDeviceList;
class TSlotInfo;
class TUpDownEdit;

// The label beside the retention days: "days", or "days (~N GB)" with the
// space N GB (units of 2^30 bytes) that iDays days at iBitrate kbit/s take.
// iBitrateText and iDaysText count as 0 unless they are whole numbers.
QString StorageEstimateText(int iFormatIndex, const QString& iBitrateText, const QString& iDaysText);

class TConfigureSlotForm : public QDialog {
public:
  // iDevices: the input catalogue in its order; nullptr when there is none.
  TConfigureSlotForm(QWidget* iOwner, TSlotInfo& iSlotInfo, const TDeviceList* iDevices);

  bool InputOptionsChanged() const { return fInputOptionsChanged; }
  bool OutputOptionsChanged() const { return fOutputOptionsChanged; }

  // OK: checks, writes and closes with Accepted; on a refused value it shows
  // the message, switches to the tab that holds the value and stays open.
  void accept() override;

  // ---- controls, by tab (public so the window's tests can drive them)
  QTabWidget* pcSettings = nullptr;
  QWidget* tsGeneral = nullptr;
  QWidget* tsInput = nullptr;
  QWidget* tsOutput = nullptr;
  QWidget* tsCleanup = nullptr;
  QWidget* tsStreaming = nullptr;
  QWidget* tsSilenceDetection = nullptr;
  // General
  QLineEdit* edName = nullptr;
  QLineEdit* edDescription = nullptr;
  // Input
  QRadioButton* rbDisabled = nullptr;
  QRadioButton* rbSoundcard = nullptr;
  QRadioButton* rbStream = nullptr;
  QComboBox* cbDevice = nullptr;
  QPushButton* btnDeviceConfigure = nullptr;
  QLineEdit* edStreamURL = nullptr;
  TUpDownEdit* udNominalLevel = nullptr;
  TUpDownEdit* udRecordDelay = nullptr;
  QCheckBox* cbRecord16Bit = nullptr;
  QComboBox* cbRecordChannels = nullptr;
  QLineEdit* edWinampPlugin = nullptr;
  QPushButton* btnWinampPluginSelect = nullptr;
  QPushButton* btnWinampPluginReload = nullptr;
  QPushButton* btnWinampPluginConfigure = nullptr;
  QCheckBox* cbWinampPluginStreamOnly = nullptr;
  // Output
  QLineEdit* edFolder = nullptr;
  QPushButton* btnFolder = nullptr;
  QLineEdit* edSecondaryFolder = nullptr;
  QPushButton* btnSecondaryFolder = nullptr;
  QLineEdit* edFilenamePrefix = nullptr;
  QLineEdit* edCustomFilename = nullptr;
  QCheckBox* cbFlatFilenames = nullptr;
  QCheckBox* cbCueSheet = nullptr;
  QCheckBox* cbNoAutoRotate = nullptr;
  QLineEdit* edTimeSlotLength = nullptr;
  QCheckBox* cbTimeSlotAlign = nullptr;
  QLineEdit* edTimeSlotOffset = nullptr;
  QComboBox* cbFormat = nullptr;
  QLineEdit* edFileExtension = nullptr;
  QComboBox* cbMode = nullptr;
  QComboBox* cbBitrate = nullptr;
  QComboBox* cbSampleRate = nullptr;
  QLineEdit* edEncoderFilename = nullptr;
  QPushButton* btnEncoderFilename = nullptr;
  QLineEdit* edOnFileClosed = nullptr;
  QLineEdit* edEncoderOptions = nullptr;
  // Cleanup
  QCheckBox* cbCleanupDaysEnabled = nullptr;
  TUpDownEdit* udCleanupDays = nullptr;
  QLabel* lblCleanupDays = nullptr;  // "days" or the estimate
  QCheckBox* cbCleanupSpaceEnabled = nullptr;
  TUpDownEdit* udCleanupSpace = nullptr;
  // Streaming
  QCheckBox* cbStreamingEnabled = nullptr;
  QCheckBox* cbStreamingOnly = nullptr;
  QLineEdit* edStreamingHost = nullptr;
  QLineEdit* edStreamingPort = nullptr;
  QLineEdit* edStreamingMountPoint = nullptr;
  QLineEdit* edStreamingStreamID = nullptr;
  QLineEdit* edStreamingPassword = nullptr;
  QCheckBox* cbShowPassword = nullptr;
  QLineEdit* edStreamingMimeType = nullptr;
  QCheckBox* cbStreamingServerMode = nullptr;
  QLineEdit* edStreamingTitle = nullptr;
  QLineEdit* edStreamingURL = nullptr;
  QLineEdit* edStreamingGenre = nullptr;
  QLineEdit* edStreamingAIM = nullptr;
  QLineEdit* edStreamingIRC = nullptr;
  QLineEdit* edStreamingICQ = nullptr;
  QLineEdit* edStreamingDescription = nullptr;
  QCheckBox* cbStreamingPublic = nullptr;
  QCheckBox* cbStreamingForwardMetadata = nullptr;
  // Silence Detection
  TUpDownEdit* udSilenceThreshold = nullptr;
  TUpDownEdit* udSilenceDetection = nullptr;
  QCheckBox* cbSilenceDetectionIfInactive = nullptr;
  QCheckBox* cbSendEmailSilenceDetected = nullptr;
  QCheckBox* cbSendEmailSilenceOK = nullptr;
  QLineEdit* edHTTPAlarmSilenceDetected = nullptr;
  QLineEdit* edHTTPAlarmSilenceOK = nullptr;
  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;

private:
  void BuildGeneralTab();
  void BuildInputTab();
  void BuildOutputTab();
  void BuildCleanupTab();
  void BuildStreamingTab();
  void BuildSilenceDetectionTab();
  void FillDeviceList();
  void LoadFromSlot();
  void ConnectReactions();
  void ApplyFormatRule();
  void UpdateEstimate();
  void UpdateDeviceConfigure();
  void SelectFolder(QLineEdit* iEdit, const QString& iTitle);
  void SelectEncoder();
  void SelectWinampPlugin();
  void ConfigureWinampPlugin();
  // Refuses with iMessage on iTab; false when refused.
  bool Refuse(const QString& iMessage, QWidget* iTab, QWidget* iFocus);

  TSlotInfo& fSlotInfo;
  const TDeviceList* fDevices;
  std::vector<std::string> fDeviceIds;  // the catalogue's ids, in list order
  std::string fAbsentDevice;            // the slot's id when the catalogue lacks it
  bool fInputOptionsChanged = false;
  bool fOutputOptionsChanged = false;
};
