// Carries the precompiled headers that other targets reuse (cmake/Precompiled.cmake).
