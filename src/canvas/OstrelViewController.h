#pragma once
// The editor area of a document, as the document sees it: the document JSON data source that
// the working copy asks for the page's current design.

#include <memory>

#include "canvas/BaseOstrelViewController.h"
#include "document/storage/KXDocumentContainerDataSource.h"

class OstrelViewController : public BaseOstrelViewController {
 public:
  static std::shared_ptr<OstrelViewController> create(bool tutorialMode);

  // Made on first use; the same object for the life of the controller.
  KXDocumentContainerDataSource& dataSourceForDocumentJSON();
  void ostrelDocumentDataArrived() override;
  void ostrelDocumentDidBecomeDirty() override;
  void setOstrelIPCProcessor(std::unique_ptr<IPCProcessor> processor) { setIPCProcessor(std::move(processor)); }

 protected:
  explicit OstrelViewController(bool tutorialMode) : BaseOstrelViewController(tutorialMode) {}

 private:
  std::unique_ptr<KXDocumentContainerDataSource> dataSourceForDocumentJSON_;
};
