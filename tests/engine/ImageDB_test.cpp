// The picture store of a document: with no picture holder it never touches the database.
#include <gtest/gtest.h>

#include "SampleProduct.h"
#include "uImageDB.h"

namespace {

TEST(ImageDB, OperationsWithoutPictureHoldersNeedNoImageTable) {
  v7test::SampleSite s(true);
  s.site.Exec("drop table image");
  v7::TImageDB images(s.mgr.get(), "salesinv");
  EXPECT_NO_THROW(images.LoadImages(v7test::kSalesInvId));
  EXPECT_NO_THROW(images.SaveImages(v7test::kSalesInvId));
  EXPECT_NO_THROW(images.DeleteImages(v7test::kSalesInvId));
}

TEST(ImageDB, StoredPicturesStayAsTheyAreAndClearingEmptiesHolders) {
  v7test::SampleSite s(true);
  s.site.Exec(
      "insert into image (imageid, recordid, transid, fieldname, extension, image) values "
      "(1, 700010000000101, 'salesinv', 'logo', 'png', x'89504e47')");
  v7::TImageDB images(s.mgr.get(), "salesinv");
  images.SaveImages(v7test::kSalesInvId);
  images.DeleteImages(v7test::kSalesInvId);
  EXPECT_EQ(s.site.Scalar("select count(*) from image where recordid=700010000000101"), "1");

  v7::TPictureHolder logo{"logo", "png", "\x89PNG"};
  images.Holders.push_back(&logo);
  images.ClearImages();
  EXPECT_TRUE(logo.Bytes.empty());
  EXPECT_EQ(logo.FieldName, "logo");
}

}  // namespace
