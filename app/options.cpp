// placeholder, replaced by the application work
