// Requests whose work comes with the image, panel, layer and export parts of the editor; until
// then each one is logged as it came.

#include "ipc/OstrelIPCProcessor.h"

void OstrelIPCProcessor::handleDocumentReceivedImage(const nlohmann::json& a) { notYet("DocumentReceivedImage", a); }
void OstrelIPCProcessor::handleDocumentDropIcon(const nlohmann::json& a) { notYet("DocumentDropIcon", a); }
void OstrelIPCProcessor::handleColorSample(const nlohmann::json& a) { notYet("GetColorSample", a); }
void OstrelIPCProcessor::handleChooseImageDialog(const nlohmann::json& a) { notYet("ChooseImageDialog", a); }
void OstrelIPCProcessor::handleChooseMetadataImageDialog(const nlohmann::json& a) { notYet("ChooseMetadataImageDialog", a); }
void OstrelIPCProcessor::handleChooseFileDialog(const nlohmann::json& a) { notYet("ChooseFileDialog", a); }
void OstrelIPCProcessor::handleChooseImageDialogDrop(const nlohmann::json& a) { notYet("ChooseImageDialogDrop", a); }
void OstrelIPCProcessor::handleShowSaveDialog(const nlohmann::json& a) { notYet("ShowSaveDialog", a); }
void OstrelIPCProcessor::handleShowPathInFileViewer(const nlohmann::json& a) { notYet("ShowPathInFileViewer", a); }
void OstrelIPCProcessor::handleDocumentCopy(const nlohmann::json& a) { notYet("DocumentCopy", a); }
void OstrelIPCProcessor::handleDocumentPaste(const nlohmann::json& a) { notYet("DocumentPaste", a); }
void OstrelIPCProcessor::handleDocumentCopyImagesToPasteboard(const nlohmann::json& a) {
  notYet("DocumentCopyImagesToPasteboard", a);
}
