namespace ryne {}
