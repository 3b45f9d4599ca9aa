#include "platform/vision/model_files.h"
#include "platform/vision/people/person_model.h"
#include "platform/vision/subjects/subject_model.h"
#include "platform/vision/text/text_model.h"

namespace plumvane {
namespace {

class InstalledVision : public Vision {
 public:
  explicit InstalledVision(ModelUse subjectUse) : subjectUse_(subjectUse) {}

  SubjectSegmenter* subjects() override {
    if (!subjects_ && subjectModelInstalled())
      subjects_ = onnxSubjects(loadDescription("subject"), subjectUse_);
    return subjects_.get();
  }
  PersonSegmenter& people() override {
    if (!people_) people_ = onnxPeople(loadPeopleModels());
    return *people_;
  }
  TextRecognizer& text() override {
    if (!text_) text_ = onnxText(loadTextModels());
    return *text_;
  }

 private:
  ModelUse subjectUse_;
  std::unique_ptr<SubjectSegmenter> subjects_;
  std::unique_ptr<PersonSegmenter> people_;
  std::unique_ptr<TextRecognizer> text_;
};

}  // namespace

std::unique_ptr<Vision> installedVision(ModelUse subjectUse) {
  return std::make_unique<InstalledVision>(subjectUse);
}

}  // namespace plumvane
