# zlfetch get from the nginx mirrors harness: a good mirror beside slow, corrupt,
# 404, range-ignoring, redirecting and dying ones; and SIGKILL then resume.
add_test(NAME mirror_download_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/mirror_download_test.py $<TARGET_FILE:zlfetch> mirrors)
set_tests_properties(mirror_download_test PROPERTIES LABELS "unit" TIMEOUT 120)
add_test(NAME mirror_resume_test COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/mirror_download_test.py $<TARGET_FILE:zlfetch> resume)
set_tests_properties(mirror_resume_test PROPERTIES LABELS "unit" TIMEOUT 120)
