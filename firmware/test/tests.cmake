# Host tests of the core: the same sources as the AVR image, built by g++.
catkin_add_gtest(test_rig_core test/test_rig_core.cpp test/test_quadrature.cpp)
target_link_libraries(test_rig_core zv_firmware_core)
