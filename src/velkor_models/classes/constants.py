# The type name a class schema extends to get the generator's own base class (Model or TypeModel)
# rather than another generated model.
BASE_OBJECT_TYPE = "BaseObject"
