#include "ui/ConfigureSlot/ConfigureSlot.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTabWidget>
#include <QVBoxLayout>

#include "audio/AudioDevices.h"
#include "slot/SlotInfo.h"
#include "ui/ConfigureSlot/PluginParametersForm.h"
#include "ui/ConfigureSlot/UpDownEdit.h"

namespace {

const char* const kFormats[] = {"MP3", "MP2", "Ogg Vorbis", "WAV (16 bit)", "WAV (32 bit)",
                                "Custom (with WAV header)", "Custom (raw PCM)", "No recording"};
const char* const kBitrates[] = {"32", "40", "48", "56", "64", "80", "96", "112", "128", "160", "192", "224", "256", "320"};
const char* const kSampleRates[] = {"16000", "22050", "24000", "32000", "44100", "48000", "96000"};

bool IsCustomFormat(int iFormat) { return iFormat == sfCustomWAV || iFormat == sfCustomRaw; }

QString Q(const std::string& iText) { return QString::fromStdString(iText); }
std::string S(const QString& iText) { return iText.toStdString(); }

// A whole number (the text as it stands, blanks around it allowed), else iElse.
int32_t WholeNumber(const QString& iText, int32_t iElse) {
  bool ok = false;
  const int value = iText.trimmed().toInt(&ok);
  return ok ? value : iElse;
}

QWidget* Row(std::initializer_list<QWidget*> iWidgets) {
  auto* row = new QWidget;
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  for (QWidget* w : iWidgets) layout->addWidget(w);
  layout->addStretch(1);
  return row;
}

QLabel* Note(const QString& iText) {
  auto* label = new QLabel(iText);
  label->setWordWrap(true);
  return label;
}

}  // namespace

QString StorageEstimateText(int iFormatIndex, const QString& iBitrateText, const QString& iDaysText) {
  const int64_t bitrate = WholeNumber(iBitrateText, 0);
  const int64_t days = WholeNumber(iDaysText, 0);
  if (bitrate == 0 || IsCustomFormat(iFormatIndex)) return "days";
  // Bytes per second at 1024 bits per kbit, times the seconds of the days, in 2^30 bytes.
  const int64_t gigabytes = bitrate * 128 * 86400 * days / (int64_t(1) << 30);
  return QString("days (~%1 GB)").arg(gigabytes);
}

TConfigureSlotForm::TConfigureSlotForm(QWidget* iOwner, TSlotInfo& iSlotInfo, const TDeviceList* iDevices)
    : QDialog(iOwner), fSlotInfo(iSlotInfo), fDevices(iDevices) {
  pcSettings = new QTabWidget(this);
  BuildGeneralTab();
  BuildInputTab();
  BuildOutputTab();
  BuildCleanupTab();
  BuildStreamingTab();
  BuildSilenceDetectionTab();
  btnOK = new QPushButton("OK", this);
  btnOK->setDefault(true);
  btnCancel = new QPushButton("Cancel", this);
  connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnOK);
  buttons->addWidget(btnCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(pcSettings);
  layout->addLayout(buttons);

  // Opening, in order: devices, caption, format list, controls, format rule.
  FillDeviceList();
  const int number = fSlotInfo.Index() + 1;
  setWindowTitle(fSlotInfo.AlarmOnly() ? QString("Configure Slot %1 (Alarm only)").arg(number)
                                       : QString("Configure Slot %1").arg(number));
  cbFormat->setEnabled(!fSlotInfo.AlarmOnly());
  LoadFromSlot();
  ApplyFormatRule();
  // The format names are longer than the field; the open list shows them whole.
  cbFormat->view()->setMinimumWidth(200);
  ConnectReactions();
}

// ------------------------------------------------------------------ building

void TConfigureSlotForm::BuildGeneralTab() {
  tsGeneral = new QWidget;
  auto* group = new QGroupBox("General");
  auto* form = new QFormLayout(group);
  edName = new QLineEdit;
  edDescription = new QLineEdit;
  form->addRow("Name:", edName);
  form->addRow("Description:", edDescription);
  auto* layout = new QVBoxLayout(tsGeneral);
  layout->addWidget(group);
  layout->addStretch(1);
  pcSettings->addTab(tsGeneral, "&General");
}

void TConfigureSlotForm::BuildInputTab() {
  tsInput = new QWidget;
  auto* source = new QGroupBox("Input Source");
  auto* sourceLayout = new QVBoxLayout(source);
  rbDisabled = new QRadioButton("Disabled");
  rbSoundcard = new QRadioButton("Sound card:");
  rbStream = new QRadioButton("Stream URL:");
  auto* radios = new QButtonGroup(this);
  radios->addButton(rbDisabled);
  radios->addButton(rbSoundcard);
  radios->addButton(rbStream);
  cbDevice = new QComboBox;
  cbDevice->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cbDevice->setMinimumContentsLength(30);
  btnDeviceConfigure = new QPushButton("Configure...");
  edStreamURL = new QLineEdit;
  sourceLayout->addWidget(rbDisabled);
  sourceLayout->addWidget(rbSoundcard);
  sourceLayout->addWidget(Row({cbDevice, btnDeviceConfigure}));
  sourceLayout->addWidget(rbStream);
  sourceLayout->addWidget(edStreamURL);

  auto* options = new QGroupBox("Input Options");
  auto* optionsForm = new QFormLayout(options);
  udNominalLevel = new TUpDownEdit(-100, 100, 1);
  udRecordDelay = new TUpDownEdit(0, 3600, 60);
  cbRecord16Bit = new QCheckBox("16 bit mode");
  cbRecordChannels = new QComboBox;
  cbRecordChannels->addItems({"stereo", "left channel only", "right channel only"});
  optionsForm->addRow("Nominal level:", Row({udNominalLevel, new QLabel("dBFS")}));
  optionsForm->addRow("Record delay:", Row({udRecordDelay}));
  optionsForm->addRow(cbRecord16Bit);
  optionsForm->addRow("Record channels:", cbRecordChannels);

  auto* processing = new QGroupBox("Sound Processing");
  auto* processingLayout = new QVBoxLayout(processing);
  edWinampPlugin = new QLineEdit;
  btnWinampPluginSelect = new QPushButton("Select...");
  btnWinampPluginReload = new QPushButton("Reload");
  btnWinampPluginConfigure = new QPushButton("Configure...");
  cbWinampPluginStreamOnly = new QCheckBox("Only process stream, not recording");
  auto* pluginRow = new QWidget;
  auto* pluginLayout = new QHBoxLayout(pluginRow);
  pluginLayout->setContentsMargins(0, 0, 0, 0);
  pluginLayout->addWidget(new QLabel("Winamp plugin:"));
  pluginLayout->addWidget(edWinampPlugin, 1);
  pluginLayout->addWidget(btnWinampPluginSelect);
  pluginLayout->addWidget(btnWinampPluginReload);
  pluginLayout->addWidget(btnWinampPluginConfigure);
  processingLayout->addWidget(pluginRow);
  processingLayout->addWidget(cbWinampPluginStreamOnly);
  processingLayout->addWidget(Note("Changes in the sound processing settings will be effective after restart."));

  auto* layout = new QVBoxLayout(tsInput);
  layout->addWidget(source);
  layout->addWidget(options);
  layout->addWidget(processing);
  layout->addStretch(1);
  pcSettings->addTab(tsInput, "&Input");
}

void TConfigureSlotForm::BuildOutputTab() {
  tsOutput = new QWidget;
  auto* file = new QGroupBox("Output File");
  auto* fileForm = new QFormLayout(file);
  edFolder = new QLineEdit;
  btnFolder = new QPushButton("...");
  edSecondaryFolder = new QLineEdit;
  btnSecondaryFolder = new QPushButton("...");
  edFilenamePrefix = new QLineEdit;
  edCustomFilename = new QLineEdit;
  cbFlatFilenames = new QCheckBox("Use flat filenames (no subfolders)");
  cbCueSheet = new QCheckBox("Create cue sheet (streams only)");
  cbNoAutoRotate = new QCheckBox("Disable auto rotation (infinite/manual recording length)");
  edTimeSlotLength = new QLineEdit;
  cbTimeSlotAlign = new QCheckBox("Align to the top of the hour");
  edTimeSlotOffset = new QLineEdit;
  auto folderRow = [](QLineEdit* iEdit, QPushButton* iButton) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(iEdit, 1);
    layout->addWidget(iButton);
    return row;
  };
  fileForm->addRow("Folder:", folderRow(edFolder, btnFolder));
  fileForm->addRow("Secondary folder:", folderRow(edSecondaryFolder, btnSecondaryFolder));
  fileForm->addRow("Filename prefix:", edFilenamePrefix);
  fileForm->addRow("Filename format:", Row({edCustomFilename, new QLabel("(blank = default)")}));
  fileForm->addRow(cbFlatFilenames);
  fileForm->addRow(cbCueSheet);
  fileForm->addRow(cbNoAutoRotate);
  fileForm->addRow("Recording length:", Row({edTimeSlotLength, new QLabel("minutes per file")}));
  fileForm->addRow(cbTimeSlotAlign);
  fileForm->addRow("Offset for alignment:", Row({edTimeSlotOffset, new QLabel("seconds")}));

  auto* format = new QGroupBox("Output Format");
  auto* formatForm = new QFormLayout(format);
  cbFormat = new QComboBox;
  for (const char* name : kFormats) cbFormat->addItem(name);
  edFileExtension = new QLineEdit;
  edFileExtension->setMaximumWidth(80);
  cbMode = new QComboBox;
  cbMode->addItems({"mono", "stereo", "joint stereo"});
  cbBitrate = new QComboBox;
  cbBitrate->setEditable(true);
  for (const char* rate : kBitrates) cbBitrate->addItem(rate);
  cbSampleRate = new QComboBox;
  cbSampleRate->setEditable(true);
  for (const char* rate : kSampleRates) cbSampleRate->addItem(rate);
  edEncoderFilename = new QLineEdit;
  btnEncoderFilename = new QPushButton("...");
  edEncoderOptions = new QLineEdit;
  formatForm->addRow("Audio &Format:", Row({cbFormat, edFileExtension}));
  // The label's key goes to the list, not to the row that holds it.
  static_cast<QLabel*>(formatForm->labelForField(formatForm->itemAt(0, QFormLayout::FieldRole)->widget()))->setBuddy(cbFormat);
  formatForm->addRow("Mode:", cbMode);
  formatForm->addRow("Bit rate:", cbBitrate);
  formatForm->addRow("Sample rate:", cbSampleRate);
  formatForm->addRow("Encoder filename:", folderRow(edEncoderFilename, btnEncoderFilename));
  formatForm->addRow("Encoder options:", edEncoderOptions);

  // A command for other tools (an uploader, a transcoder) once a file is
  // finished and has its length in the database.
  auto* after = new QGroupBox("After Each File");
  auto* afterForm = new QFormLayout(after);
  edOnFileClosed = new QLineEdit;
  edOnFileClosed->setPlaceholderText("%f file, %d seconds, %s slot name, %i database row");
  afterForm->addRow("Run when a file is closed:", edOnFileClosed);

  auto* layout = new QVBoxLayout(tsOutput);
  layout->addWidget(file);
  layout->addWidget(format);
  layout->addWidget(after);
  layout->addStretch(1);
  pcSettings->addTab(tsOutput, "&Output");
}

void TConfigureSlotForm::BuildCleanupTab() {
  tsCleanup = new QWidget;
  auto* group = new QGroupBox("Cleanup");
  auto* groupLayout = new QVBoxLayout(group);
  cbCleanupDaysEnabled = new QCheckBox("Delete recordings older than");
  udCleanupDays = new TUpDownEdit(1, 32767, 1);
  lblCleanupDays = new QLabel("days");
  cbCleanupSpaceEnabled = new QCheckBox("Delete recordings when disk space is below");
  udCleanupSpace = new TUpDownEdit(1, 32767, 1);
  groupLayout->addWidget(Row({cbCleanupDaysEnabled, udCleanupDays, lblCleanupDays}));
  groupLayout->addWidget(Row({cbCleanupSpaceEnabled, udCleanupSpace, new QLabel("GB")}));
  auto* layout = new QVBoxLayout(tsCleanup);
  layout->addWidget(group);
  layout->addStretch(1);
  pcSettings->addTab(tsCleanup, "&Cleanup");
}

void TConfigureSlotForm::BuildStreamingTab() {
  tsStreaming = new QWidget;
  cbStreamingEnabled = new QCheckBox("Enable Streaming");
  cbStreamingOnly = new QCheckBox("Streaming only, no recoding");

  auto* server = new QGroupBox("Server Settings");
  auto* serverForm = new QFormLayout(server);
  edStreamingHost = new QLineEdit;
  edStreamingPort = new QLineEdit;
  edStreamingMountPoint = new QLineEdit;
  edStreamingStreamID = new QLineEdit;
  edStreamingPassword = new QLineEdit;
  edStreamingPassword->setEchoMode(QLineEdit::Password);
  cbShowPassword = new QCheckBox("Show Password");
  edStreamingMimeType = new QLineEdit;
  cbStreamingServerMode = new QCheckBox("Internal server mode");
  serverForm->addRow("Hostname/IP:", edStreamingHost);
  serverForm->addRow("Port:", edStreamingPort);
  serverForm->addRow("Mount point:", Row({edStreamingMountPoint, new QLabel("(Icecast only)")}));
  serverForm->addRow("Stream ID:", Row({edStreamingStreamID, new QLabel("(Shoutcast v2 only)")}));
  serverForm->addRow("Password:", Row({edStreamingPassword, cbShowPassword}));
  serverForm->addRow("MIME type:", Row({edStreamingMimeType, new QLabel("(leave empty for default)")}));
  serverForm->addRow(cbStreamingServerMode);

  auto* metadata = new QGroupBox("Metadata");
  auto* metadataForm = new QFormLayout(metadata);
  edStreamingTitle = new QLineEdit;
  edStreamingURL = new QLineEdit;
  edStreamingGenre = new QLineEdit;
  edStreamingAIM = new QLineEdit;
  edStreamingIRC = new QLineEdit;
  edStreamingICQ = new QLineEdit;
  edStreamingDescription = new QLineEdit;
  cbStreamingPublic = new QCheckBox("Stream is public (list in directories)");
  cbStreamingForwardMetadata = new QCheckBox("Forward metadata");
  metadataForm->addRow("Title:", edStreamingTitle);
  metadataForm->addRow("URL:", edStreamingURL);
  metadataForm->addRow("Genre:", edStreamingGenre);
  metadataForm->addRow("AIM:", edStreamingAIM);
  metadataForm->addRow("IRC:", edStreamingIRC);
  metadataForm->addRow("ICQ:", edStreamingICQ);
  metadataForm->addRow("Description:", edStreamingDescription);
  metadataForm->addRow(cbStreamingPublic);
  metadataForm->addRow(cbStreamingForwardMetadata);

  auto* layout = new QVBoxLayout(tsStreaming);
  layout->addWidget(cbStreamingEnabled);
  layout->addWidget(cbStreamingOnly);
  layout->addWidget(server);
  layout->addWidget(metadata);
  layout->addStretch(1);
  pcSettings->addTab(tsStreaming, "&Streaming");
}

void TConfigureSlotForm::BuildSilenceDetectionTab() {
  tsSilenceDetection = new QWidget;
  auto* settings = new QGroupBox("Settings");
  auto* settingsForm = new QFormLayout(settings);
  udSilenceThreshold = new TUpDownEdit(-100, 100, 1);
  udSilenceDetection = new TUpDownEdit(0, 3600, 1);
  cbSilenceDetectionIfInactive = new QCheckBox("Perform silence detection even if slot is inactive.");
  settingsForm->addRow("Silence threshold:", Row({udSilenceThreshold, new QLabel("dBFS")}));
  settingsForm->addRow("Alarm after:", Row({udSilenceDetection, new QLabel("seconds (0 = disable)")}));
  settingsForm->addRow(cbSilenceDetectionIfInactive);

  auto* email = new QGroupBox("E-Mail Notification");
  auto* emailLayout = new QVBoxLayout(email);
  cbSendEmailSilenceDetected = new QCheckBox("Send e-mail when silence is detected");
  cbSendEmailSilenceOK = new QCheckBox("Send e-mail when silence is OK again");
  emailLayout->addWidget(cbSendEmailSilenceDetected);
  emailLayout->addWidget(cbSendEmailSilenceOK);

  auto* http = new QGroupBox("HTTP Notification");
  auto* httpForm = new QFormLayout(http);
  edHTTPAlarmSilenceDetected = new QLineEdit;
  edHTTPAlarmSilenceOK = new QLineEdit;
  httpForm->addRow("Silence detected:", edHTTPAlarmSilenceDetected);
  httpForm->addRow("Silence OK:", edHTTPAlarmSilenceOK);
  httpForm->addRow(Note("Vantorel will perform an HTTP GET call to the specified URL in the event of an alarm."));

  auto* layout = new QVBoxLayout(tsSilenceDetection);
  layout->addWidget(settings);
  layout->addWidget(email);
  layout->addWidget(http);
  layout->addStretch(1);
  pcSettings->addTab(tsSilenceDetection, "Si&lence Detection");
}

// ------------------------------------------------------------------ opening

void TConfigureSlotForm::FillDeviceList() {
  if (!fDevices) return;
  for (size_t i = 0; i < fDevices->Count(); ++i) {
    fDeviceIds.push_back(fDevices->Id(i));
    cbDevice->addItem(Q(fDevices->Device(i)->Name()));
  }
}

void TConfigureSlotForm::LoadFromSlot() {
  TSlotInfo& s = fSlotInfo;
  edName->setText(Q(s.Name()));
  edDescription->setText(Q(s.Description()));

  const QString device = Q(s.Device());
  cbDevice->setCurrentIndex(-1);
  fAbsentDevice = s.Device();
  for (size_t i = 0; i < fDeviceIds.size(); ++i)
    if (Q(fDeviceIds[i]).compare(device, Qt::CaseInsensitive) == 0) {
      cbDevice->setCurrentIndex(int(i));
      fAbsentDevice.clear();
      break;
    }
  UpdateDeviceConfigure();
  edStreamURL->setText(Q(s.StreamURL()));
  udNominalLevel->SetPosition(s.NominalLevel());
  udRecordDelay->SetPosition(s.RecordDelay());
  cbRecord16Bit->setChecked(s.Record16bit());
  cbRecordChannels->setCurrentIndex(int(s.RecordChannels()));
  edWinampPlugin->setText(Q(s.WinampPlugin()));
  cbWinampPluginStreamOnly->setChecked(s.WinampPluginStreamOnly());
  btnWinampPluginConfigure->setEnabled(s.WinampPluginHandle() != 0);

  edFolder->setText(Q(s.Folder()));
  edSecondaryFolder->setText(Q(s.SecondaryFolder()));
  edFilenamePrefix->setText(Q(s.FilenamePrefix()));
  edCustomFilename->setText(Q(s.CustomFilename()));
  cbFlatFilenames->setChecked(s.FlatFilenames());
  cbCueSheet->setChecked(s.CueSheet());
  cbNoAutoRotate->setChecked(s.NoAutoRotate());
  edTimeSlotLength->setText(QString::number(s.TimeSlotLength()));
  cbTimeSlotAlign->setChecked(s.TimeSlotAlign());
  edTimeSlotOffset->setText(QString::number(s.TimeSlotOffset()));
  cbFormat->setCurrentIndex(int(s.AudioFormat()));
  edFileExtension->setText(Q(s.FileExtension()));
  cbMode->setCurrentIndex(int(s.Mode()));
  cbBitrate->setCurrentText(QString::number(s.Bitrate()));
  cbSampleRate->setCurrentText(QString::number(s.Samplerate()));
  edEncoderFilename->setText(Q(s.EncoderFilename()));
  edOnFileClosed->setText(Q(s.OnFileClosed()));
  edEncoderOptions->setText(Q(s.EncoderOptions()));

  cbCleanupDaysEnabled->setChecked(s.CleanupDaysEnabled());
  udCleanupDays->SetPosition(s.CleanupDays());
  cbCleanupSpaceEnabled->setChecked(s.CleanupSpaceEnabled());
  udCleanupSpace->SetPosition(s.CleanupSpace());

  cbStreamingEnabled->setChecked(s.StreamingEnabled());
  cbStreamingOnly->setChecked(s.StreamingOnly());
  edStreamingHost->setText(Q(s.StreamingHost()));
  edStreamingPort->setText(QString::number(s.StreamingPort()));
  edStreamingMountPoint->setText(Q(s.StreamingMountPoint()));
  edStreamingStreamID->setText(Q(s.StreamingStreamID()));
  edStreamingPassword->setText(Q(s.StreamingPassword()));
  edStreamingMimeType->setText(Q(s.StreamingMimeType()));
  cbStreamingServerMode->setChecked(s.StreamingServerMode());
  edStreamingTitle->setText(Q(s.StreamingTitle()));
  edStreamingURL->setText(Q(s.StreamingURL()));
  edStreamingGenre->setText(Q(s.StreamingGenre()));
  edStreamingAIM->setText(Q(s.StreamingAIM()));
  edStreamingIRC->setText(Q(s.StreamingIRC()));
  edStreamingICQ->setText(Q(s.StreamingICQ()));
  edStreamingDescription->setText(Q(s.StreamingDescription()));
  cbStreamingPublic->setChecked(s.StreamingPublic());
  cbStreamingForwardMetadata->setChecked(s.StreamingForwardMetadata());

  udSilenceThreshold->SetPosition(s.SilenceThreshold());
  udSilenceDetection->SetPosition(s.SilenceDetection());
  cbSilenceDetectionIfInactive->setChecked(s.SilenceDetectionIfInactive());
  cbSendEmailSilenceDetected->setChecked(s.SendEmailSilenceDetected());
  cbSendEmailSilenceOK->setChecked(s.SendEmailSilenceOK());
  edHTTPAlarmSilenceDetected->setText(Q(s.HTTPAlarmSilenceDetected()));
  edHTTPAlarmSilenceOK->setText(Q(s.HTTPAlarmSilenceOK()));

  switch (s.RecordSource()) {
    case rsSoundcard: rbSoundcard->setChecked(true); break;
    case rsStream: rbStream->setChecked(true); break;
    default: rbDisabled->setChecked(true); break;
  }
}

// Connected after loading, so that loading the URL does not check "Stream URL:".
void TConfigureSlotForm::ConnectReactions() {
  connect(cbDevice, &QComboBox::activated, this, [this] {
    rbSoundcard->setChecked(true);
    UpdateDeviceConfigure();
  });
  connect(btnDeviceConfigure, &QPushButton::clicked, this, [this] {
    const int i = cbDevice->currentIndex();
    if (fDevices && i >= 0 && size_t(i) < fDevices->Count()) fDevices->Device(size_t(i))->RunControlPanel();
  });
  connect(edStreamURL, &QLineEdit::textChanged, this, [this] { rbStream->setChecked(true); });
  connect(cbFormat, &QComboBox::currentIndexChanged, this, [this] { ApplyFormatRule(); });
  connect(cbBitrate, &QComboBox::currentTextChanged, this, [this] { UpdateEstimate(); });
  connect(udCleanupDays->Edit(), &QLineEdit::textChanged, this, [this] { UpdateEstimate(); });
  connect(btnFolder, &QPushButton::clicked, this, [this] { SelectFolder(edFolder, "Select Output Folder"); });
  connect(btnSecondaryFolder, &QPushButton::clicked, this,
          [this] { SelectFolder(edSecondaryFolder, "Select Secondary Output Folder"); });
  connect(btnEncoderFilename, &QPushButton::clicked, this, [this] { SelectEncoder(); });
  connect(btnWinampPluginSelect, &QPushButton::clicked, this, [this] { SelectWinampPlugin(); });
  // Reloads what the slot holds, not what the field says: a new path is
  // stored only by OK and takes effect at the next Reload or start.
  connect(btnWinampPluginReload, &QPushButton::clicked, this, [this] { fSlotInfo.ReloadWinampPlugin(); });
  connect(btnWinampPluginConfigure, &QPushButton::clicked, this, [this] { ConfigureWinampPlugin(); });
  connect(cbShowPassword, &QCheckBox::toggled, this, [this](bool iShow) {
    edStreamingPassword->setEchoMode(iShow ? QLineEdit::Normal : QLineEdit::Password);
  });
}

// ------------------------------------------------------------------ reactions

void TConfigureSlotForm::ApplyFormatRule() {
  const int format = cbFormat->currentIndex();
  if (format == sfMP3 || format == sfOggVorbis) {
    const QString typed = cbBitrate->currentText();
    cbBitrate->clear();
    for (const char* rate : kBitrates) cbBitrate->addItem(rate);
    cbBitrate->setCurrentText(typed);
  } else if (format == sfWAV16 || format == sfWAV32 || IsCustomFormat(format)) {
    cbBitrate->clear();
    cbBitrate->setCurrentText("");
  }
  edFileExtension->setVisible(IsCustomFormat(format));
  UpdateEstimate();
}

void TConfigureSlotForm::UpdateEstimate() {
  lblCleanupDays->setText(
      StorageEstimateText(cbFormat->currentIndex(), cbBitrate->currentText(), udCleanupDays->Edit()->text()));
}

void TConfigureSlotForm::UpdateDeviceConfigure() {
  const int i = cbDevice->currentIndex();
  btnDeviceConfigure->setEnabled(fDevices && i >= 0 && size_t(i) < fDevices->Count() &&
                                 fDevices->Device(size_t(i))->HasControlPanel());
}

void TConfigureSlotForm::SelectFolder(QLineEdit* iEdit, const QString& iTitle) {
  const QString start = iEdit->text().isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::DesktopLocation)
                                                : iEdit->text();
  const QString folder = QFileDialog::getExistingDirectory(this, iTitle, start);
  if (!folder.isEmpty()) iEdit->setText(folder);
}

void TConfigureSlotForm::SelectEncoder() {
  // Programs here carry no extension: the filter shows every file.
  const QString file = QFileDialog::getOpenFileName(this, QString(), edEncoderFilename->text(), "Executable files (*)");
  if (!file.isEmpty()) edEncoderFilename->setText(file);
}

void TConfigureSlotForm::SelectWinampPlugin() {
  // getOpenFileName accepts existing files only.
  const QString file =
      QFileDialog::getOpenFileName(this, QString(), edWinampPlugin->text(), "Plug-ins (*.so);;All files (*)");
  if (!file.isEmpty()) edWinampPlugin->setText(file);
}

void TConfigureSlotForm::ConfigureWinampPlugin() {
  const DWORD handle = fSlotInfo.WinampPluginHandle();
  if (!handle) return;  // unloaded since the dialog opened (a Reload with no plug-in)
  // The engine opens a plug-in's settings through the desktop's dialog.
  VT_WADSP_SetConfigProc(&TPluginParametersForm::ConfigProc, &fSlotInfo);
  if (!BASS_WADSP_Config(handle))
    QMessageBox::warning(this, windowTitle(), QString("The plug-in cannot be configured: %1").arg(VT_WADSP_ErrorText()));
  VT_WADSP_SetConfigProc(nullptr, nullptr);
}

// ------------------------------------------------------------------ OK

bool TConfigureSlotForm::Refuse(const QString& iMessage, QWidget* iTab, QWidget* iFocus) {
  QMessageBox::warning(this, windowTitle(), iMessage);
  pcSettings->setCurrentWidget(iTab);
  iFocus->setFocus();
  return false;
}

void TConfigureSlotForm::accept() {
  TSlotInfo& s = fSlotInfo;
  if (edFolder->text().isEmpty()) {
    Refuse("Output folder must not be empty.", tsOutput, edFolder);
    return;
  }
  // The rotation check needs a positive length; a shorter one would start a
  // new file at every tick.
  const int32_t timeSlotLength = WholeNumber(edTimeSlotLength->text(), s.TimeSlotLength());
  if (timeSlotLength < 1) {
    Refuse("Recording length must be at least 1 minute.", tsOutput, edTimeSlotLength);
    return;
  }

  const TRecordSource source = rbDisabled->isChecked()    ? rsDisabled
                               : rbSoundcard->isChecked() ? rsSoundcard
                                                          : rsStream;
  const int deviceIndex = cbDevice->currentIndex();
  // An input that is absent now (unplugged, its server not running) selects
  // nothing; its id stays, so the slot goes on waiting for it and OK alone
  // does not restart the source.
  const std::string device =
      deviceIndex >= 0 && size_t(deviceIndex) < fDeviceIds.size() ? fDeviceIds[size_t(deviceIndex)] : fAbsentDevice;
  const std::string streamURL = S(edStreamURL->text());
  const int32_t bitrate = WholeNumber(cbBitrate->currentText(), 0);
  const auto format = static_cast<TBassStreamingFormat>(cbFormat->currentIndex());
  const auto mode = static_cast<TBassStreamingMode>(cbMode->currentIndex());

  fInputOptionsChanged = source != s.RecordSource() || device != s.Device() || streamURL != s.StreamURL();
  // Only the encoded formats use a bit rate. The others have the field emptied
  // by the format rule, which must not count as a change: an unchanged OK on a
  // WAV slot would cut its file.
  const bool usesBitrate = format == sfMP3 || format == sfMP2 || format == sfOggVorbis;
  fOutputOptionsChanged = S(edFolder->text()) != s.Folder() || cbFlatFilenames->isChecked() != s.FlatFilenames() ||
                          format != s.AudioFormat() || (usesBitrate && bitrate != s.Bitrate()) || mode != s.Mode() ||
                          S(edEncoderOptions->text()) != s.EncoderOptions() ||
                          S(edEncoderFilename->text()) != s.EncoderFilename();

  s.SetName(S(edName->text()));
  s.SetDescription(S(edDescription->text()));
  s.SetRecordSource(source);
  s.SetDevice(device);
  s.SetStreamURL(streamURL);
  s.SetNominalLevel(int16_t(udNominalLevel->Position()));
  s.SetRecordDelay(udRecordDelay->Position());
  s.SetRecord16bit(cbRecord16Bit->isChecked());
  s.SetRecordChannels(static_cast<TRecordChannels>(cbRecordChannels->currentIndex()));
  s.SetWinampPlugin(S(edWinampPlugin->text()));
  s.SetWinampPluginStreamOnly(cbWinampPluginStreamOnly->isChecked());
  s.SetFolder(S(edFolder->text()));
  s.SetSecondaryFolder(S(edSecondaryFolder->text()));
  s.SetFilenamePrefix(S(edFilenamePrefix->text()));
  s.SetCustomFilename(S(edCustomFilename->text()));
  s.SetFlatFilenames(cbFlatFilenames->isChecked());
  s.SetCueSheet(cbCueSheet->isChecked());
  s.SetNoAutoRotate(cbNoAutoRotate->isChecked());
  s.SetTimeSlotLength(timeSlotLength);
  s.SetTimeSlotAlign(cbTimeSlotAlign->isChecked());
  s.SetTimeSlotOffset(WholeNumber(edTimeSlotOffset->text(), s.TimeSlotOffset()));
  s.SetAudioFormat(format);
  s.SetFileExtension(S(edFileExtension->text()));
  s.SetMode(mode);
  s.SetBitrate(bitrate);
  s.SetSamplerate(WholeNumber(cbSampleRate->currentText(), s.Samplerate()));
  s.SetEncoderFilename(S(edEncoderFilename->text()));
  s.SetOnFileClosed(S(edOnFileClosed->text()));
  s.SetEncoderOptions(S(edEncoderOptions->text()));
  s.SetCleanupDaysEnabled(cbCleanupDaysEnabled->isChecked());
  s.SetCleanupDays(udCleanupDays->Position());
  s.SetCleanupSpaceEnabled(cbCleanupSpaceEnabled->isChecked());
  s.SetCleanupSpace(udCleanupSpace->Position());
  s.SetStreamingEnabled(cbStreamingEnabled->isChecked());
  s.SetStreamingOnly(cbStreamingOnly->isChecked());
  s.SetStreamingHost(S(edStreamingHost->text()));
  s.SetStreamingPort(WholeNumber(edStreamingPort->text(), s.StreamingPort()));
  s.SetStreamingMountPoint(S(edStreamingMountPoint->text()));
  s.SetStreamingStreamID(S(edStreamingStreamID->text()));
  s.SetStreamingPassword(S(edStreamingPassword->text()));
  s.SetStreamingMimeType(S(edStreamingMimeType->text()));
  s.SetStreamingServerMode(cbStreamingServerMode->isChecked());
  s.SetStreamingTitle(S(edStreamingTitle->text()));
  s.SetStreamingURL(S(edStreamingURL->text()));
  s.SetStreamingGenre(S(edStreamingGenre->text()));
  s.SetStreamingAIM(S(edStreamingAIM->text()));
  s.SetStreamingIRC(S(edStreamingIRC->text()));
  s.SetStreamingICQ(S(edStreamingICQ->text()));
  s.SetStreamingDescription(S(edStreamingDescription->text()));
  s.SetStreamingPublic(cbStreamingPublic->isChecked());
  s.SetStreamingForwardMetadata(cbStreamingForwardMetadata->isChecked());
  s.SetSilenceThreshold(udSilenceThreshold->Position());
  s.SetSilenceDetection(udSilenceDetection->Position());
  s.SetSilenceDetectionIfInactive(cbSilenceDetectionIfInactive->isChecked());
  s.SetSendEmailSilenceDetected(cbSendEmailSilenceDetected->isChecked());
  s.SetSendEmailSilenceOK(cbSendEmailSilenceOK->isChecked());
  s.SetHTTPAlarmSilenceDetected(S(edHTTPAlarmSilenceDetected->text()));
  s.SetHTTPAlarmSilenceOK(S(edHTTPAlarmSilenceOK->text()));
  QDialog::accept();
}
